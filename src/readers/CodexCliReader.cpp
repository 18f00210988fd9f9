#include "readers/CodexCliReader.h"

#include <QDateTime>
#include <QDirIterator>
#include <QFileInfo>
#include <algorithm>
#include <map>

#include "core/Pricing.h"
#include "readers/CliLogParsing.h"
#include "readers/ReaderSupport.h"

namespace qm {
namespace {

namespace od = simdjson::ondemand;
using simdjson::error_code;
using simdjson::SUCCESS;

// Per-line usage objects are looked for under these keys, first object wins.
constexpr std::string_view kLineUsageKeys[] = {"usage", "token_usage", "tokens"};
constexpr int kNoUsageSlot = 3;

// What one line contributes, gathered in a single pass over it and applied only when the whole
// line decoded, so a malformed line contributes nothing. Texts point into the parser's string
// buffer and live until the next line is decoded.
struct LineFacts {
    std::optional<TimeMs> eventAt;
    std::string_view topModel;
    std::string_view topCwd;

    bool hasPayload = false;
    bool payloadTypeSeen = false;
    std::string_view payloadType;
    bool roleSeen = false;
    std::string_view role;
    std::string_view payloadModel;
    std::string_view payloadCwd;
    std::optional<std::string_view> contentText;
    std::optional<std::string_view> textField;

    bool hasTotals = false;
    std::int64_t totalInput = 0;
    std::int64_t totalOutput = 0;
    std::int64_t totalCached = 0;

    int usageSlot = kNoUsageSlot;  // index into kLineUsageKeys of the object taken
    std::int64_t usageInput = 0;
    std::int64_t usageOutput = 0;
    std::int64_t usageCached = 0;
};

// Sets `out` and `isText` when the value is a string; other types are left alone.
error_code textValue(od::value& value, std::string_view& out, bool& isText) {
    isText = false;
    od::json_type type;
    if (auto error = value.type().get(type)) return error;
    if (type != od::json_type::string) return SUCCESS;
    if (auto error = value.get_string().get(out)) return error;
    isText = true;
    return SUCCESS;
}

error_code isObject(od::value& value, bool& result) {
    od::json_type type;
    if (auto error = value.type().get(type)) return error;
    result = type == od::json_type::object;
    return SUCCESS;
}

// The first text of a message's "content" list: a text item as it stands, or the first object
// item with a non-empty "text".
error_code firstContentText(od::value& content, std::optional<std::string_view>& out) {
    od::json_type type;
    if (auto error = content.type().get(type)) return error;
    if (type == od::json_type::string) {
        std::string_view text;
        if (auto error = content.get_string().get(text)) return error;
        out = text;
        return SUCCESS;
    }
    if (type != od::json_type::array) return SUCCESS;
    od::array items;
    if (auto error = content.get_array().get(items)) return error;
    for (auto itemResult : items) {
        od::value item;
        if (auto error = std::move(itemResult).get(item)) return error;
        od::json_type itemType;
        if (auto error = item.type().get(itemType)) return error;
        if (itemType == od::json_type::string) {
            std::string_view text;
            if (auto error = item.get_string().get(text)) return error;
            out = text;
            return SUCCESS;
        }
        if (itemType != od::json_type::object) continue;
        od::object object;
        if (auto error = item.get_object().get(object)) return error;
        od::value textValueOfItem;
        const auto found = object.find_field_unordered("text").get(textValueOfItem);
        if (found == simdjson::NO_SUCH_FIELD) continue;
        if (found) return found;
        std::string_view text;
        bool isText = false;
        if (auto error = textValue(textValueOfItem, text, isText)) return error;
        if (isText && !text.empty()) {
            out = text;
            return SUCCESS;
        }
    }
    return SUCCESS;
}

error_code readTotals(od::value& info, LineFacts& facts) {
    bool infoIsObject = false;
    if (auto error = isObject(info, infoIsObject)) return error;
    if (!infoIsObject) return SUCCESS;
    od::object infoObject;
    if (auto error = info.get_object().get(infoObject)) return error;
    od::value totals;
    const auto found = infoObject.find_field_unordered("total_token_usage").get(totals);
    if (found == simdjson::NO_SUCH_FIELD) return SUCCESS;
    if (found) return found;
    bool totalsIsObject = false;
    if (auto error = isObject(totals, totalsIsObject)) return error;
    if (!totalsIsObject) return SUCCESS;
    od::object usage;
    if (auto error = totals.get_object().get(usage)) return error;
    using CliLogParsing::int64;
    if (auto error = int64(usage, {"input_tokens", "prompt_tokens"}, facts.totalInput)) {
        return error;
    }
    if (auto error = int64(usage, {"output_tokens", "completion_tokens"}, facts.totalOutput)) {
        return error;
    }
    if (auto error = int64(usage, {"cached_input_tokens", "input_cached_tokens", "cached_tokens"},
                           facts.totalCached)) {
        return error;
    }
    facts.hasTotals = true;
    return SUCCESS;
}

error_code readPayload(od::value& payload, LineFacts& facts, bool needModel, bool needProject) {
    od::object object;
    if (auto error = payload.get_object().get(object)) return error;
    facts.hasPayload = true;
    for (auto fieldResult : object) {
        od::field field;
        if (auto error = std::move(fieldResult).get(field)) return error;
        std::string_view key;
        if (auto error = field.unescaped_key().get(key)) return error;
        od::value value = field.value();
        bool isText = false;
        if (key == "type") {
            if (auto error = textValue(value, facts.payloadType, isText)) return error;
            facts.payloadTypeSeen = facts.payloadTypeSeen || isText;
        } else if (key == "role") {
            if (auto error = textValue(value, facts.role, isText)) return error;
            facts.roleSeen = facts.roleSeen || isText;
        } else if (key == "model") {
            if (needModel) {
                if (auto error = textValue(value, facts.payloadModel, isText)) return error;
            }
        } else if (key == "cwd") {
            if (needProject) {
                if (auto error = textValue(value, facts.payloadCwd, isText)) return error;
            }
        } else if (key == "content" || key == "text") {
            // Message texts only matter for user prompts; in the logs the role comes first, so
            // long assistant messages and tool output are skipped without being decoded.
            if (facts.roleSeen && facts.role != "user") continue;
            if (key == "content") {
                if (auto error = firstContentText(value, facts.contentText)) return error;
            } else {
                std::string_view text;
                if (auto error = textValue(value, text, isText)) return error;
                if (isText) facts.textField = text;
            }
        } else if (key == "info") {
            if (facts.payloadTypeSeen && facts.payloadType != "token_count") continue;
            if (auto error = readTotals(value, facts)) return error;
        }
    }
    return SUCCESS;
}

error_code readLineUsage(od::value& value, int slot, LineFacts& facts) {
    bool valueIsObject = false;
    if (auto error = isObject(value, valueIsObject)) return error;
    if (!valueIsObject || slot >= facts.usageSlot) return SUCCESS;
    od::object usage;
    if (auto error = value.get_object().get(usage)) return error;
    using CliLogParsing::int64;
    if (auto error = int64(usage, {"input_tokens", "prompt_tokens", "total_input_tokens"},
                           facts.usageInput)) {
        return error;
    }
    if (auto error = int64(usage, {"output_tokens", "completion_tokens", "total_output_tokens"},
                           facts.usageOutput)) {
        return error;
    }
    // Not the key order of the cumulative totals: the older per-line format spells it so.
    if (auto error =
            int64(usage, {"input_cached_tokens", "cached_tokens", "cache_read_input_tokens"},
                  facts.usageCached)) {
        return error;
    }
    facts.usageSlot = slot;
    return SUCCESS;
}

// Parses rollout files one after another, reusing one buffer and one parser.
class RolloutParser {
public:
    CodexCliReader::ParseResult parse(const QString& path, TimeMs since) {
        CodexCliReader::ParseResult result;
        if (!file_.load(path, CodexCliReader::kMaxFileBytes)) return result;
        const std::string_view text = file_.text();
        CliLogParsing::forEachLine(text, [&](std::string_view line) {
            LineFacts facts;
            if (readLine(line, result, facts) == SUCCESS) apply(facts, result, since);
        });
        return result;
    }

private:
    error_code readLine(std::string_view line, const CodexCliReader::ParseResult& state,
                        LineFacts& facts) {
        od::document doc;
        if (auto error = parser_.iterate(line.data(), line.size(), file_.capacityFrom(line.data()))
                             .get(doc)) {
            return error;
        }
        od::object object;
        if (auto error = doc.get_object().get(object)) return error;
        const bool needModel = state.model.isEmpty();
        const bool needProject = state.project.isEmpty();
        for (auto fieldResult : object) {
            od::field field;
            if (auto error = std::move(fieldResult).get(field)) return error;
            std::string_view key;
            if (auto error = field.unescaped_key().get(key)) return error;
            od::value value = field.value();
            bool isText = false;
            if (key == "timestamp") {
                std::string_view stamp;
                if (auto error = textValue(value, stamp, isText)) return error;
                facts.eventAt = isText ? CliLogParsing::date(stamp) : std::nullopt;
            } else if (key == "payload") {
                bool payloadIsObject = false;
                if (auto error = isObject(value, payloadIsObject)) return error;
                if (payloadIsObject) {
                    if (auto error = readPayload(value, facts, needModel, needProject)) {
                        return error;
                    }
                }
            } else if (key == "model") {
                if (auto error = textValue(value, facts.topModel, isText)) return error;
            } else if (key == "cwd") {
                if (auto error = textValue(value, facts.topCwd, isText)) return error;
            } else if (!state.hasTotalUsage) {
                for (int slot = 0; slot < kNoUsageSlot; ++slot) {
                    if (key != kLineUsageKeys[slot]) continue;
                    if (auto error = readLineUsage(value, slot, facts)) return error;
                }
            }
        }
        // Anything but blanks after the object makes the line invalid JSON.
        std::string_view raw;
        if (auto error = object.raw_json().get(raw)) return error;
        const char* rest = raw.data() + raw.size();
        const char* const end = line.data() + line.size();
        while (rest < end && (*rest == ' ' || *rest == '\t')) ++rest;
        return rest == end ? SUCCESS : simdjson::TRAILING_CONTENT;
    }

    static void apply(const LineFacts& facts, CodexCliReader::ParseResult& result, TimeMs since) {
        if (facts.eventAt) {
            if (!result.startedAt || *facts.eventAt < *result.startedAt) {
                result.startedAt = facts.eventAt;
            }
            if (!result.endedAt || *facts.eventAt > *result.endedAt) result.endedAt = facts.eventAt;
        }
        if (result.model.isEmpty()) {
            const std::string_view model =
                !facts.payloadModel.empty() ? facts.payloadModel : facts.topModel;
            result.model = QString::fromUtf8(model.data(), qsizetype(model.size()));
        }
        if (result.project.isEmpty()) {
            const std::string_view cwd = !facts.topCwd.empty() ? facts.topCwd : facts.payloadCwd;
            if (!cwd.empty()) {
                result.project = CliLogParsing::projectName(
                    QString::fromUtf8(cwd.data(), qsizetype(cwd.size())));
            }
        }
        if (facts.hasPayload) {
            if (facts.roleSeen && facts.role == "user") collectPrompt(facts, result, since);
            if (facts.payloadTypeSeen && facts.payloadType == "token_count" && facts.hasTotals) {
                // Cumulative totals: the last one in the file is the session's usage.
                result.inputTokens = CliLogParsing::tokenCount(facts.totalInput);
                result.outputTokens = CliLogParsing::tokenCount(facts.totalOutput);
                result.cachedTokens = CliLogParsing::tokenCount(facts.totalCached);
                result.hasTotalUsage = true;
                return;
            }
        }
        if (!result.hasTotalUsage && facts.usageSlot != kNoUsageSlot) {
            using CliLogParsing::addCounts;
            using CliLogParsing::tokenCount;
            result.inputTokens = addCounts(result.inputTokens, tokenCount(facts.usageInput));
            result.outputTokens = addCounts(result.outputTokens, tokenCount(facts.usageOutput));
            result.cachedTokens = addCounts(result.cachedTokens, tokenCount(facts.usageCached));
        }
    }

    static void collectPrompt(const LineFacts& facts, CodexCliReader::ParseResult& result,
                              TimeMs since) {
        const std::string_view raw = facts.contentText ? *facts.contentText
                                     : facts.textField ? *facts.textField
                                                       : std::string_view();
        const QString text = QString::fromUtf8(raw.data(), qsizetype(raw.size()));
        if (!CliLogParsing::isRealUserPrompt(text)) return;
        ++result.prompts;
        if (facts.eventAt && *facts.eventAt >= since) ++result.recentPrompts;
        if (result.task.isEmpty()) result.task = CliLogParsing::shortenedTask(text);
    }

    CliLogParsing::TextFile file_;
    od::parser parser_;
};

}  // namespace

CodexCliReader::CodexCliReader(QString sessionsDirectory, QString authFile)
    : sessionsDirectory_(std::move(sessionsDirectory)), authFile_(std::move(authFile)) {}

CodexCliReader::ParseResult CodexCliReader::parseFile(const QString& path,
                                                      TimeMs recentWindowStart) {
    RolloutParser parser;
    return parser.parse(path, recentWindowStart);
}

QStringList CodexCliReader::enumerateSessionFiles() const {
    QStringList files;
    if (!QFileInfo(sessionsDirectory_).isDir()) return files;
    QDirIterator it(sessionsDirectory_,
                    QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info = it.nextFileInfo();
        if (!info.fileName().startsWith(QLatin1String("rollout-")) ||
            info.suffix() != QLatin1String("jsonl") || !readers::isRegularFile(info)) {
            continue;
        }
        files.append(info.filePath());
    }
    return files;
}

ProviderUsage CodexCliReader::readUsageSync(TimeMs since) const {
    ProviderUsage usage = ProviderUsage::placeholder(ProviderKind::codex);
    usage.isAuthenticated = QFileInfo::exists(authFile_);
    usage.dataSourceLabel = QStringLiteral("Local rollout logs");
    usage.dataSourceDetail = sessionsDirectory_;
    if (!QFileInfo(sessionsDirectory_).isDir()) {
        usage.warnings = {QStringLiteral("Codex sessions directory was not found.")};
        return usage;
    }
    const QStringList files = enumerateSessionFiles();
    if (files.isEmpty()) usage.warnings = {QStringLiteral("No rollout JSONL files were found.")};

    using CliLogParsing::addCounts;
    readers::ModelTotals models;
    std::vector<SessionUsage> sessions;
    RolloutParser parser;
    for (const QString& path : files) {
        const QFileInfo info(path);
        const QDateTime modified = info.lastModified();
        if (!modified.isValid()) continue;
        const TimeMs modifiedAt = modified.toMSecsSinceEpoch();
        if (modifiedAt < since) continue;

        const ParseResult result = parser.parse(path, since);
        if (!result.hasTotalUsage && result.inputTokens < 1 && result.outputTokens < 1) continue;

        SessionUsage session;
        session.id = path;
        session.provider = ProviderKind::codex;
        session.model = result.model.isEmpty() ? QStringLiteral("unknown") : result.model;
        session.project = result.project.isEmpty() ? QStringLiteral("unknown") : result.project;
        session.task = result.task;
        session.startedAt = result.startedAt;
        if (!session.startedAt) session.startedAt = CliLogParsing::creationDate(path);
        if (!session.startedAt) session.startedAt = modifiedAt;
        session.lastActiveAt = result.endedAt ? result.endedAt : std::optional<TimeMs>(modifiedAt);
        session.prompts = std::max<std::int64_t>(result.prompts, 1);
        session.inputTokens = result.inputTokens;
        session.outputTokens = result.outputTokens;
        session.cachedTokens = result.cachedTokens;
        session.cost = UsagePricing::openAICost(session.model, session.inputTokens,
                                                session.cachedTokens, session.outputTokens);

        usage.totalInputTokens = addCounts(usage.totalInputTokens, session.inputTokens);
        usage.totalOutputTokens = addCounts(usage.totalOutputTokens, session.outputTokens);
        usage.totalCachedTokens = addCounts(usage.totalCachedTokens, session.cachedTokens);
        usage.costTotal += session.cost;

        ModelUsage& model = models.entry(session.model);
        model.sessions += 1;
        model.inputTokens = addCounts(model.inputTokens, session.inputTokens);
        model.outputTokens = addCounts(model.outputTokens, session.outputTokens);
        model.cachedTokens = addCounts(model.cachedTokens, session.cachedTokens);
        model.cost += session.cost;

        // A file without any time stamp counts as recent as a whole when it was written to
        // inside the window.
        const std::int64_t recent = !result.startedAt
                                        ? (*session.lastActiveAt >= since ? session.prompts : 0)
                                        : result.recentPrompts;
        if (*session.lastActiveAt >= since || recent > 0) {
            usage.lastFiveHourSessions += 1;
            usage.lastFiveHourPrompts = addCounts(usage.lastFiveHourPrompts, recent);
            usage.lastFiveHourTokens = addCounts(
                usage.lastFiveHourTokens, addCounts(session.inputTokens, session.outputTokens));
        }

        if (!usage.latestActivityAt || *session.lastActiveAt > *usage.latestActivityAt) {
            usage.latestActivityAt = session.lastActiveAt;
            usage.latestProject = session.project;
            usage.latestTask = session.task;
            usage.latestModel = session.model;
        }
        sessions.push_back(std::move(session));
    }

    std::tie(usage.statusText, usage.statusLevel) =
        CliLogParsing::status(usage.latestActivityAt, QDateTime::currentMSecsSinceEpoch());
    usage.sessionsTotal = std::int64_t(sessions.size());
    usage.models = models.sortedByCost();
    usage.sessions = readers::latestSessions(std::move(sessions));
    return usage;
}

}  // namespace qm
