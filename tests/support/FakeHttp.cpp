#include "support/FakeHttp.h"

#include <QList>
#include <QUrl>

namespace qm::test::FakeHttp {
namespace {

QUrl targetUrl(const QByteArray& target) {
    return QUrl(QStringLiteral("http://x") + QString::fromUtf8(target));
}

}  // namespace

QString Head::path() const {
    return targetUrl(target).path(QUrl::FullyDecoded);
}

QUrlQuery Head::query() const {
    return QUrlQuery(targetUrl(target));
}

Head parseHead(QByteArrayView head) {
    const QList<QByteArray> lines = head.toByteArray().split('\n');
    const QList<QByteArray> words = lines.value(0).trimmed().split(' ');
    Head parsed;
    parsed.method = words.value(0);
    parsed.target = words.value(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon <= 0) continue;
        parsed.headers[lines[i].left(colon).trimmed().toLower()] =
            lines[i].mid(colon + 1).trimmed();
    }
    return parsed;
}

QByteArray reasonPhrase(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 302:
            return "Found";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 429:
            return "Too Many Requests";
        case 500:
            return "Internal Server Error";
        default:
            return "Status";
    }
}

}  // namespace qm::test::FakeHttp
