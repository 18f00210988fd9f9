// The first bytes of each input choose how the rest is cut into receives; the reader must end
// every input in a parsed request or one of its known errors, and a request whose head is
// within the limit must come out the same however it was cut. A parsed request never holds
// what could start a new line upstream or a dot segment that could move its path.

#include <QStringList>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "relay/GeminiRelayHttp.h"

namespace {

using qm::GeminiRelayHttp::RequestReader;
using State = RequestReader::State;

RequestReader readAll(QByteArrayView input, QByteArrayView sizes) {
    RequestReader reader;
    qsizetype at = 0;
    std::size_t turn = 0;
    while (at < input.size() && reader.state() == State::NeedMore) {
        qsizetype size = qm::GeminiRelayHttp::kReceiveChunkSize;
        if (!sizes.isEmpty())
            size = 1 + static_cast<unsigned char>(sizes[turn++ % sizes.size()]) * 64 % size;
        size = std::min(size, input.size() - at);
        reader.feed(input.sliced(at, size));
        at += size;
    }
    if (reader.state() == State::NeedMore) reader.finish();
    return reader;
}

[[noreturn]] void failWith(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

bool breaksLine(const QString& text) {
    return text.contains(u'\r') || text.contains(u'\n') || text.contains(QChar(0));
}

void checkForwardable(const qm::GeminiHttpRequest& request) {
    if (request.method.isEmpty() || breaksLine(request.method) || request.method.contains(u' '))
        failWith("a method that is not one token");
    for (const auto& [name, value] : request.headers) {
        if (breaksLine(name) || breaksLine(value)) failWith("a header that breaks a line");
    }
    for (QStringView segment : QStringView(request.path).split(u'/')) {
        if (segment == u"." || segment == u"..") failWith("a dot segment in the path");
    }
    if (request.body.size() > qm::GeminiRelayHttp::kBodyLimit) failWith("a body over the limit");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const QByteArrayView all(reinterpret_cast<const char*>(data), qsizetype(size));
    const qsizetype splitBytes = std::min<qsizetype>(all[0] & 0x0f, all.size() - 1);
    const QByteArrayView sizes = all.sliced(1, splitBytes);
    const QByteArrayView input = all.sliced(1 + splitBytes);

    static const QStringList known{"Missing request line.",
                                   "Invalid request line.",
                                   "Headers must be UTF-8.",
                                   "Invalid Content-Length.",
                                   "Invalid request target.",
                                   "HTTP headers are too large.",
                                   "Connection closed.",
                                   "Request body is too large.",
                                   "Invalid request method.",
                                   "Paths with dot segments are not allowed.",
                                   "Control characters are not allowed in the request head.",
                                   "Paths with backslashes or control characters are not allowed.",
                                   "Transfer-Encoding is not supported; send a Content-Length."};
    // A repeated header is named in its error ("Repeated Host header.").
    const auto isKnown = [](const QString& error) {
        return known.contains(error) || (error.startsWith(QLatin1String("Repeated ")) &&
                                         error.endsWith(QLatin1String(" header.")));
    };
    const RequestReader split = readAll(input, sizes);
    if (split.state() == State::NeedMore) failWith("the reader is still waiting after finish()");
    if (split.state() == State::Failed && !isKnown(split.error().description()))
        failWith("an error outside the known set");
    if (split.state() == State::Complete) checkForwardable(split.request());
    const RequestReader whole = readAll(input, {});
    const qsizetype headEnd = input.indexOf(QByteArrayView("\r\n\r\n"));
    if (headEnd >= 0 && headEnd < 60000) {
        if (split.state() != whole.state()) failWith("the outcome depends on how input was cut");
        if (split.state() == State::Complete && !(split.request() == whole.request()))
            failWith("the request depends on how input was cut");
    }
    return 0;
}
