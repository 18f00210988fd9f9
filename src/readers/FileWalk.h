#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QString>
#include <string>
#include <string_view>

namespace qm::readers {

namespace detail {

template <typename F>
void walkFolder(int fd, std::string& path, int depthLeft, F& onFile) {
    DIR* directory = ::fdopendir(fd);
    if (!directory) {
        ::close(fd);
        return;
    }
    const std::size_t base = path.size();
    while (const dirent* entry = ::readdir(directory)) {
        const std::string_view name(entry->d_name);
        if (name == "." || name == ".." || entry->d_type == DT_LNK) continue;
        path.resize(base);
        path += '/';
        path += name;
        // Folders need no stat: opening one never follows a link.
        bool isFolder = entry->d_type == DT_DIR;
        if (entry->d_type == DT_REG || entry->d_type == DT_UNKNOWN) {
            struct stat st;
            if (::fstatat(::dirfd(directory), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                continue;
            }
            isFolder = S_ISDIR(st.st_mode);
            if (S_ISREG(st.st_mode)) onFile(path, name, st);
        }
        if (isFolder && depthLeft > 0) {
            const int child = ::openat(::dirfd(directory), entry->d_name,
                                       O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (child >= 0) walkFolder(child, path, depthLeft - 1, onFile);
        }
    }
    path.resize(base);
    ::closedir(directory);
}

}  // namespace detail

// Calls onFile(path, name, stat) for every regular file under `root`, down to `maxDepth`
// folders below it. Links are never followed, and FIFOs, sockets and devices never opened, so
// a hostile tree cannot make a scan hang or leave the folder.
template <typename F>
void walkRegularFiles(const QString& root, int maxDepth, F&& onFile) {
    if (root.isEmpty()) return;
    std::string path = QFile::encodeName(root).toStdString();
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    detail::walkFolder(fd, path, maxDepth, onFile);
}

}  // namespace qm::readers
