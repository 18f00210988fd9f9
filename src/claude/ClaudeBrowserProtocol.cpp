#include "claude/ClaudeBrowserProtocol.h"

#include <QJsonDocument>
#include <array>
#include <cstring>

namespace qm::ClaudeBrowserProtocol {

namespace {

using Kind = ClaudeWebSessionError::Kind;

constexpr std::array<std::pair<Kind, const char*>, 6> kKinds{{
    {Kind::requestFailed, "requestFailed"},
    {Kind::notLoggedIn, "notLoggedIn"},
    {Kind::timeout, "timeout"},
    {Kind::noData, "noData"},
    {Kind::parseFailed, "parseFailed"},
    {Kind::browserFailed, "browserFailed"},
}};

ClaudeWebSessionError garbled() {
    return {Kind::browserFailed, QStringLiteral("the browser process answered garbled")};
}

}  // namespace

QByteArray line(const QJsonObject& message) {
    return QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n';
}

std::optional<QJsonObject> read(const QByteArray& line) {
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) return std::nullopt;
    return doc.object();
}

std::vector<QByteArray> LineReader::add(QByteArrayView bytes) {
    std::vector<QByteArray> lines;
    if (bytes.isEmpty()) return lines;
    qsizetype from = 0;
    while (!broken_) {
        const auto* start = bytes.data() + from;
        const auto* found =
            static_cast<const char*>(std::memchr(start, '\n', std::size_t(bytes.size() - from)));
        const qsizetype length = found ? found - start : bytes.size() - from;
        if (partial_.size() + length > kMaxLineBytes) {
            broken_ = true;
            partial_.clear();
            break;
        }
        partial_ += bytes.sliced(from, length);
        if (!found) break;
        lines.push_back(std::exchange(partial_, {}));
        from += length + 1;
    }
    return lines;
}

QJsonObject request(const char* op, qint64 id) {
    QJsonObject message{{QStringLiteral("op"), QString::fromLatin1(op)}};
    if (id != 0) message.insert(QStringLiteral("id"), id);
    return message;
}

QJsonObject fetchAnswer(qint64 id, const ClaudeUsageText& result) {
    QJsonObject answer{{QStringLiteral("id"), id}};
    if (const auto* text = std::get_if<QString>(&result)) {
        answer.insert(QStringLiteral("ok"), true);
        answer.insert(QStringLiteral("usage"), *text);
        return answer;
    }
    const auto& error = std::get<ClaudeWebSessionError>(result);
    answer.insert(QStringLiteral("ok"), false);
    for (const auto& [kind, name] : kKinds) {
        if (kind == error.kind) answer.insert(QStringLiteral("kind"), QString::fromLatin1(name));
    }
    answer.insert(QStringLiteral("code"), error.code);
    return answer;
}

ClaudeUsageResult readFetchAnswer(const QJsonObject& answer) {
    const QJsonValue ok = answer.value(QLatin1String("ok"));
    if (!ok.isBool()) return garbled();
    if (ok.toBool()) {
        const QJsonValue usage = answer.value(QLatin1String("usage"));
        if (!usage.isString()) return garbled();
        return readClaudeUsage(usage.toString());
    }
    const QString name = answer.value(QLatin1String("kind")).toString();
    for (const auto& [kind, known] : kKinds) {
        if (name == QLatin1String(known))
            return ClaudeWebSessionError{kind, answer.value(QLatin1String("code")).toString()};
    }
    return garbled();
}

QJsonObject LoginStatus::toJson() const {
    QJsonObject message = request(kLoginStatus);
    message.insert(QStringLiteral("text"), text);
    message.insert(QStringLiteral("toolTip"), toolTip);
    message.insert(QStringLiteral("bad"), bad);
    message.insert(QStringLiteral("busy"), busy);
    return message;
}

LoginStatus LoginStatus::fromJson(const QJsonObject& message) {
    return {message.value(QLatin1String("text")).toString(),
            message.value(QLatin1String("toolTip")).toString(),
            message.value(QLatin1String("bad")).toBool(),
            message.value(QLatin1String("busy")).toBool()};
}

}  // namespace qm::ClaudeBrowserProtocol
