#include "ledger/OpenCodeRecords.h"

#include <QDir>
#include <QFileInfo>
#include <cmath>

#include "core/UsageFigures.h"
#include "ledger/ByteCodec.h"
#include "readers/ReaderSupport.h"

namespace qm::ledger::opencode {
namespace {

using simdjson::dom::element;

// A token count as JSON gives it: a whole number in range, however it was written.
std::optional<std::int64_t> tokenField(element object, std::string_view key) {
    element value;
    if (object[key].get(value) != simdjson::SUCCESS) return 0;  // absent: none of that kind
    double number = 0;
    if (value.is_int64())
        number = double(value.get_int64().value());
    else if (value.is_uint64())
        number = double(value.get_uint64().value());
    else if (value.is_double())
        number = value.get_double().value();
    else if (value.is_null())
        return 0;
    else
        return std::nullopt;
    if (!UsageFigures::isTokenCountNumber(number)) return std::nullopt;
    return std::int64_t(number);
}

std::string_view textField(element object, std::string_view key) {
    std::string_view text;
    if (object[key].get(text) != simdjson::SUCCESS) return {};
    return text;
}

TimeMs timeField(element object, std::string_view key) {
    element value;
    if (object[key].get(value) != simdjson::SUCCESS) return 0;
    if (value.is_int64()) return value.get_int64().value();
    if (value.is_uint64())
        return TimeMs(std::min<std::uint64_t>(value.get_uint64().value(), 1ull << 52));
    if (value.is_double() && std::isfinite(value.get_double().value()) &&
        std::fabs(value.get_double().value()) < 1e15)
        return TimeMs(value.get_double().value());
    return 0;
}

// Whether the version that created the session logs reasoning apart from `output`. Up to 1.3
// the output count held it; from 1.14 (the AI SDK's newer usage shape) it is apart. For the
// releases between, and sessions without a version, the figures tell when they can: reasoning
// larger than the output cannot be part of it.
bool reasoningApart(std::string_view version, std::int64_t output, std::int64_t reasoning) {
    int major = -1;
    int minor = -1;
    const QStringList parts =
        QString::fromUtf8(version.data(), qsizetype(version.size())).split(QLatin1Char('.'));
    if (parts.size() >= 2) {
        bool okMajor = false;
        bool okMinor = false;
        major = parts[0].toInt(&okMajor);
        minor = parts[1].toInt(&okMinor);
        if (!okMajor || !okMinor) major = minor = -1;
    }
    if (major == 0 || (major == 1 && minor >= 0 && minor < 4)) return false;
    if (major > 1 || (major == 1 && minor >= 14)) return true;
    return reasoning > output;
}

}  // namespace

std::optional<Counts> stepCounts(element part, std::string_view version) {
    if (textField(part, "type") != "step-finish") return std::nullopt;
    element tokens;
    if (part["tokens"].get(tokens) != simdjson::SUCCESS || !tokens.is_object()) return std::nullopt;
    element cache;
    const bool hasCache = tokens["cache"].get(cache) == simdjson::SUCCESS && cache.is_object();
    const auto input = tokenField(tokens, "input");
    const auto output = tokenField(tokens, "output");
    const auto reasoning = tokenField(tokens, "reasoning");
    const auto read = hasCache ? tokenField(cache, "read") : std::optional<std::int64_t>(0);
    const auto write = hasCache ? tokenField(cache, "write") : std::optional<std::int64_t>(0);
    if (!input || !output || !reasoning || !read || !write) return std::nullopt;
    if (!UsageFigures::isCallTokens({*input, *read, *write, *output, *reasoning}))
        return std::nullopt;
    Counts counts;
    // OpenCode's input leaves out what was read from or written to the cache.
    counts.input = *input + *read + *write;
    counts.cachedInput = *read;
    counts.cacheWrite = *write;
    if (reasoningApart(version, *output, *reasoning)) {
        counts.output = *output + *reasoning;
        counts.reasoning = *reasoning;
    } else {
        counts.output = *output;
        counts.reasoning = std::min(*reasoning, *output);
    }
    counts.calls = 1;
    double cost = 0;
    if (part["cost"].get(cost) == simdjson::SUCCESS && UsageFigures::isCostUsd(cost) && cost > 0)
        counts.costNanos = std::llround(cost * 1e9);
    return counts;
}

std::optional<MessageFacts> messageFacts(element message) {
    if (!message.is_object()) return std::nullopt;
    MessageFacts facts;
    facts.role = readers::toQString(textField(message, "role"));
    // An assistant message names its model at the top, a user message the one chosen for it.
    element chosen = message;
    element nested;
    if (textField(message, "modelID").empty() &&
        message["model"].get(nested) == simdjson::SUCCESS && nested.is_object())
        chosen = nested;
    const std::string_view provider = textField(chosen, "providerID");
    const std::string_view model = textField(chosen, "modelID");
    if (!model.empty()) {
        facts.model = provider.empty() ? readers::toQString(model)
                                       : readers::toQString(provider) + QLatin1Char('/') +
                                             readers::toQString(model);
    }
    element time;
    if (message["time"].get(time) == simdjson::SUCCESS && time.is_object()) {
        facts.createdAt = timeField(time, "created");
        facts.completedAt = timeField(time, "completed");
    }
    element path;
    if (message["path"].get(path) == simdjson::SUCCESS && path.is_object()) {
        std::string_view root = textField(path, "root");
        if (root.empty() || root == "/") root = textField(path, "cwd");
        facts.root = readers::toQString(root);
    }
    return facts;
}

bool isForkCopy(const MessageFacts& message, TimeMs sessionCreatedAt) {
    return message.createdAt > 0 && sessionCreatedAt > 0 && message.createdAt < sessionCreatedAt;
}

std::uint64_t partKey(std::string_view partId) {
    return hash64(partId);
}

QString dataDirectory(const QString& home) {
    // The variable counts for the person's own home only: a test's home never reads theirs.
    const QString xdg = qEnvironmentVariable("XDG_DATA_HOME");
    if (QDir::cleanPath(home) == QDir::cleanPath(QDir::homePath()) && QDir::isAbsolutePath(xdg))
        return QDir(xdg).filePath(QStringLiteral("opencode"));
    return QDir(home).filePath(QStringLiteral(".local/share/opencode"));
}

QStringList databases(const QString& data) {
    const QDir folder(data);
    const QString chosen = qEnvironmentVariable("OPENCODE_DB");
    const bool ownHome = QDir::cleanPath(data) == QDir::cleanPath(dataDirectory(QDir::homePath()));
    if (ownHome && !chosen.isEmpty()) {
        if (chosen == QLatin1String(":memory:")) return {};
        return {QDir::cleanPath(folder.filePath(chosen))};
    }
    QStringList found;
    for (const QFileInfo& file :
         folder.entryInfoList({QStringLiteral("opencode*.db")}, QDir::Files, QDir::Name))
        found.append(file.filePath());
    return found;
}

}  // namespace qm::ledger::opencode
