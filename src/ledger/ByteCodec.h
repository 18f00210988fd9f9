#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

// The index's binary form: little-endian fixed-width numbers and length-prefixed UTF-8. The
// reader never reads past its end; one short or malformed field fails the whole read.
namespace qm::ledger {

// A fast 64-bit hash of bytes (stable across runs and builds: the index stores it).
std::uint64_t hash64(std::string_view bytes);

class ByteWriter {
public:
    template <typename T>
    void put(T value) {
        char bytes[sizeof(T)];
        std::memcpy(bytes, &value, sizeof(T));
        out_.append(bytes, sizeof(T));
    }
    void putText(const QString& text) { putBytes(text.toUtf8()); }
    void putBytes(const QByteArray& bytes) {
        put<std::uint32_t>(std::uint32_t(bytes.size()));
        out_.append(bytes.constData(), std::size_t(bytes.size()));
    }
    std::string& bytes() { return out_; }

private:
    std::string out_;
};

class ByteReader {
public:
    explicit ByteReader(std::string_view in) : in_(in) {}

    template <typename T>
    bool get(T& value) {
        if (in_.size() - at_ < sizeof(T)) return fail();
        std::memcpy(&value, in_.data() + at_, sizeof(T));
        at_ += sizeof(T);
        return true;
    }
    bool getBytes(QByteArray& bytes) {
        std::uint32_t size = 0;
        if (!get(size) || in_.size() - at_ < size) return fail();
        bytes = QByteArray(in_.data() + at_, qsizetype(size));
        at_ += size;
        return true;
    }
    // The bytes in place, for a reader that keeps none of them.
    bool getView(std::string_view& bytes) {
        std::uint32_t size = 0;
        if (!get(size) || in_.size() - at_ < size) return fail();
        bytes = in_.substr(at_, size);
        at_ += size;
        return true;
    }
    bool getText(QString& text) {
        std::uint32_t size = 0;
        if (!get(size) || in_.size() - at_ < size) return fail();
        text = QString::fromUtf8(in_.data() + at_, qsizetype(size));
        at_ += size;
        return true;
    }
    bool skip(std::size_t bytes) {
        if (in_.size() - at_ < bytes) return fail();
        at_ += bytes;
        return true;
    }
    bool ok() const { return ok_; }
    bool atEnd() const { return at_ == in_.size(); }
    std::size_t remaining() const { return in_.size() - at_; }

protected:
    bool fail() {
        ok_ = false;
        at_ = in_.size();
        return false;
    }

private:
    std::string_view in_;
    std::size_t at_ = 0;
    bool ok_ = true;
};

}  // namespace qm::ledger
