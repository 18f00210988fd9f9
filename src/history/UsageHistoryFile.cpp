#include "history/UsageHistoryFile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <cstring>
#include <memory>

#include "core/SharedFile.h"

namespace qm {

UsageHistoryFileStore::UsageHistoryFileStore(QString historyPath) : path_(std::move(historyPath)) {}

QString UsageHistoryFileStore::pathIn(const QString& dataDirectory) {
    return QDir(dataDirectory).filePath(QStringLiteral("usage-history.json"));
}

namespace {

// A file's bytes followed by simdjson's padding of zeros. The file is mapped over a zeroed
// anonymous region, so the padding comes from the region and nothing is copied; where mapping
// is not possible the bytes are read into memory.
class PaddedFileBytes {
public:
    PaddedFileBytes(int fd, std::size_t length) : length_(length) {
        const std::size_t page = std::size_t(::sysconf(_SC_PAGESIZE));
        mappedSize_ = (length + simdjson::SIMDJSON_PADDING + page - 1) / page * page;
        void* region = ::mmap(nullptr, mappedSize_, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (region != MAP_FAILED) {
            if (::mmap(region, length, PROT_READ, MAP_PRIVATE | MAP_FIXED | MAP_POPULATE, fd, 0) !=
                MAP_FAILED) {
                data_ = static_cast<const char*>(region);
                return;
            }
            ::munmap(region, mappedSize_);
        }
        mappedSize_ = 0;
        copy_.reset(new char[length + simdjson::SIMDJSON_PADDING]);
        std::memset(copy_.get() + length, 0, simdjson::SIMDJSON_PADDING);
        std::size_t done = 0;
        while (done < length) {
            const ssize_t n = ::read(fd, copy_.get() + done, length - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                copy_.reset();
                return;
            }
            done += std::size_t(n);
        }
        data_ = copy_.get();
    }
    ~PaddedFileBytes() {
        if (mappedSize_ > 0) ::munmap(const_cast<char*>(data_), mappedSize_);
    }
    PaddedFileBytes(const PaddedFileBytes&) = delete;
    PaddedFileBytes& operator=(const PaddedFileBytes&) = delete;

    bool valid() const { return data_ != nullptr; }
    simdjson::padded_string_view view() const {
        return simdjson::padded_string_view(data_, length_, length_ + simdjson::SIMDJSON_PADDING);
    }

private:
    const char* data_ = nullptr;
    std::size_t length_ = 0;
    std::size_t mappedSize_ = 0;
    std::unique_ptr<char[]> copy_;
};

}  // namespace

UsageHistoryFileStore::LoadResult UsageHistoryFileStore::load() const {
    LoadResult result;
    std::optional<FileError> error;
    const int fd = openRegularFile(path_, std::nullopt, &error);
    if (fd < 0) {
        result.state = error && error->code == ENOENT ? LoadState::Missing : LoadState::Unreadable;
        return result;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        ::close(fd);
        result.state = LoadState::Unreadable;
        return result;
    }
    if (info.st_size == 0) {
        ::close(fd);
        result.state = LoadState::Empty;
        return result;
    }
    // The file is replaced by a rename, never rewritten in place, so a mapping of it stays
    // whole while it is read.
    const PaddedFileBytes bytes(fd, std::size_t(info.st_size));
    ::close(fd);
    if (!bytes.valid()) {
        result.state = LoadState::Unreadable;
        return result;
    }
    std::optional<UsageHistoryData> data = UsageHistoryJson::decodePadded(bytes.view());
    if (!data) {
        result.state = LoadState::Undecodable;
        return result;
    }
    result.data = std::move(*data);
    result.state = LoadState::Loaded;
    return result;
}

std::optional<FileError> UsageHistoryFileStore::save(const UsageHistoryData& data) const {
    const QByteArray bytes = UsageHistoryJson::encode(data);
    return writeAtomically({std::string_view(bytes.constData(), std::size_t(bytes.size()))});
}

std::optional<FileError> UsageHistoryFileStore::writeAtomically(
    const std::vector<std::string_view>& pieces) const {
    const QString folder = QFileInfo(path_).absolutePath();
    if (makePrivateFolder(folder)) {
        return FileError{EIO, QStringLiteral("Could not create the folder ") + folder};
    }
    return AtomicFile::write(path_, pieces);
}

}  // namespace qm
