#include "support/RolloutFixtures.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <stdexcept>

namespace qm::test {
namespace {

void writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(bytes) != bytes.size()) {
        throw std::runtime_error("could not write fixture file");
    }
}

QByteArray jsonLine(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

}  // namespace

QByteArray isoSecondsAgo(double secondsAgo) {
    return QDateTime::currentDateTimeUtc()
        .addMSecs(-qint64(secondsAgo * 1000))
        .toString(Qt::ISODateWithMs)
        .toUtf8();
}

QByteArray codexPromptLine(const QString& text, double secondsAgo) {
    const QJsonObject item{{"type", "input_text"}, {"text", text}};
    return jsonLine(
        {{"timestamp", QString::fromUtf8(isoSecondsAgo(secondsAgo))},
         {"type", "response_item"},
         {"payload",
          QJsonObject{{"type", "message"}, {"role", "user"}, {"content", QJsonArray{item}}}}});
}

QByteArray codexUserMessageLine(const QString& text, double secondsAgo) {
    return jsonLine(
        {{"timestamp", QString::fromUtf8(isoSecondsAgo(secondsAgo))},
         {"type", "event_msg"},
         {"payload",
          QJsonObject{{"type", "user_message"}, {"message", text}, {"images", QJsonArray{}}}}});
}

QByteArray codexTotalsLine(std::int64_t input, std::int64_t output, std::int64_t cached,
                           double secondsAgo) {
    const QJsonObject totals{{"input_tokens", qint64(input)},
                             {"cached_input_tokens", qint64(cached)},
                             {"output_tokens", qint64(output)},
                             {"reasoning_output_tokens", 0},
                             {"total_tokens", qint64(input + output)}};
    return jsonLine(
        {{"timestamp", QString::fromUtf8(isoSecondsAgo(secondsAgo))},
         {"type", "event_msg"},
         {"payload", QJsonObject{{"type", "token_count"},
                                 {"info", QJsonObject{{"total_token_usage", totals},
                                                      {"last_token_usage", totals},
                                                      {"model_context_window", 272000}}},
                                 {"rate_limits", QJsonValue()}}}});
}

QByteArray codexRateLimitsLine(double fiveHourPct, double weeklyPct, std::int64_t fiveHourResetsAt,
                               std::int64_t weeklyResetsAt, double secondsAgo) {
    const auto window = [](double used, int minutes, std::int64_t resetsAt) {
        return QJsonObject{
            {"used_percent", used}, {"window_minutes", minutes}, {"resets_at", qint64(resetsAt)}};
    };
    return jsonLine(
        {{"timestamp", QString::fromUtf8(isoSecondsAgo(secondsAgo))},
         {"type", "event_msg"},
         {"payload",
          QJsonObject{
              {"type", "token_count"},
              {"info", QJsonValue()},
              {"rate_limits", QJsonObject{{"primary", window(fiveHourPct, 300, fiveHourResetsAt)},
                                          {"secondary", window(weeklyPct, 10080, weeklyResetsAt)},
                                          {"plan_type", "plus"}}}}}});
}

QByteArray codexMetaLine(const QString& id, const QString& cwd, double secondsAgo,
                         const QByteArray& extraPayloadJson) {
    QJsonObject payload{{"id", id},
                        {"timestamp", QString::fromUtf8(isoSecondsAgo(secondsAgo))},
                        {"cwd", cwd},
                        {"originator", "codex_cli_rs"},
                        {"cli_version", "0.63.0"},
                        {"source", "cli"}};
    if (!extraPayloadJson.isEmpty()) {
        const QJsonObject extra = QJsonDocument::fromJson(extraPayloadJson).object();
        for (auto it = extra.begin(); it != extra.end(); ++it) payload.insert(it.key(), *it);
    }
    return jsonLine({{"timestamp", QString::fromUtf8(isoSecondsAgo(secondsAgo))},
                     {"type", "session_meta"},
                     {"payload", payload}});
}

QByteArray codexTurnLine(const QString& model, double secondsAgo) {
    return jsonLine({{"timestamp", QString::fromUtf8(isoSecondsAgo(secondsAgo))},
                     {"type", "turn_context"},
                     {"payload", QJsonObject{{"cwd", "/home/dev/app"},
                                             {"approval_policy", "on-request"},
                                             {"model", model},
                                             {"effort", "medium"},
                                             {"summary", "auto"}}}});
}

namespace {

QByteArray jsonText(const QString& text) {
    const QByteArray list = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return list.mid(1, list.size() - 2);
}

QByteArray claudeHead(const ClaudeLine& line) {
    return "{\"parentUuid\":null,\"isSidechain\":" + QByteArray(line.sidechain ? "true" : "false") +
           ",\"userType\":\"external\",\"cwd\":" + jsonText(line.cwd) +
           ",\"sessionId\":" + jsonText(line.sessionId) +
           ",\"version\":\"2.0.37\",\"gitBranch\":\"main\",";
}

QByteArray claudeTail(const ClaudeLine& line) {
    static int uuid = 0;
    return ",\"uuid\":\"00000000-0000-4000-8000-" +
           QByteArray::number(++uuid).rightJustified(12, '0') + "\",\"timestamp\":\"" +
           isoSecondsAgo(line.secondsAgo) + "\"}\n";
}

}  // namespace

QByteArray claudeUserLine(const QString& contentJson, const ClaudeLine& line,
                          const QByteArray& extra) {
    return claudeHead(line) + extra +
           "\"type\":\"user\",\"message\":{\"role\":\"user\",\"content\":" + contentJson.toUtf8() +
           "}" + claudeTail(line);
}

QByteArray claudePromptLine(const QString& text, const ClaudeLine& line) {
    return claudeUserLine(QString::fromUtf8(jsonText(text)), line);
}

QByteArray claudeToolResultLine(int bytes, const ClaudeLine& line) {
    const QString output(bytes, QLatin1Char('x'));
    const QByteArray result = jsonText(output);
    QByteArray text = claudeHead(line) +
                      "\"type\":\"user\",\"message\":{\"role\":\"user\",\"content\":[{"
                      "\"tool_use_id\":\"toolu_01\",\"type\":\"tool_result\",\"content\":" +
                      result + ",\"is_error\":false}]}" + claudeTail(line);
    // The tool keeps the result a second time, outside the message.
    text.insert(text.size() - 2, ",\"toolUseResult\":{\"stdout\":" + result + "}");
    return text;
}

QByteArray claudeAssistantLines(const ClaudeRequest& request, const ClaudeLine& line) {
    const QByteArray usage =
        "{\"input_tokens\":" + QByteArray::number(request.input) +
        ",\"cache_creation_input_tokens\":" +
        QByteArray::number(request.cacheWrite5m + request.cacheWrite1h) +
        ",\"cache_read_input_tokens\":" + QByteArray::number(request.cacheRead) +
        ",\"cache_creation\":{\"ephemeral_5m_input_tokens\":" +
        QByteArray::number(request.cacheWrite5m) +
        ",\"ephemeral_1h_input_tokens\":" + QByteArray::number(request.cacheWrite1h) +
        "},\"output_tokens\":" + QByteArray::number(request.output) +
        ",\"service_tier\":\"standard\"}";
    QByteArray lines;
    for (int block = 0; block < request.blocks; ++block) {
        const QByteArray content =
            block == 0
                ? "[{\"type\":\"text\",\"text\":\"Looking at the parser.\"}]"
                : "[{\"type\":\"tool_use\",\"id\":\"toolu_0" + QByteArray::number(block) +
                      "\",\"name\":\"Read\",\"input\":{\"file_path\":\"/home/dev/web/a.ts\"}}]";
        lines +=
            claudeHead(line) + "\"message\":{\"id\":" + jsonText(request.messageId) +
            ",\"type\":\"message\",\"role\":\"assistant\",\"model\":" + jsonText(request.model) +
            ",\"content\":" + content +
            ",\"stop_reason\":null,\"stop_sequence\":null,\"usage\":" + usage +
            "},\"requestId\":" + jsonText(request.requestId) + ",\"type\":\"assistant\"" +
            claudeTail(line);
    }
    return lines;
}

QByteArray claudeApiErrorLine(const ClaudeLine& line) {
    return claudeHead(line) +
           "\"message\":{\"id\":\"6a1f0c2e-err\",\"model\":\"<synthetic>\",\"role\":"
           "\"assistant\",\"stop_reason\":\"stop_sequence\",\"stop_sequence\":\"\","
           "\"type\":\"message\",\"usage\":{\"input_tokens\":0,\"output_tokens\":0,"
           "\"cache_creation_input_tokens\":0,\"cache_read_input_tokens\":0},\"content\":[{"
           "\"type\":\"text\",\"text\":\"API Error: 529 Overloaded\"}]},\"type\":"
           "\"assistant\",\"isApiErrorMessage\":true" +
           claudeTail(line);
}

void writeSampleHome(const QString& home) {
    const QDir dir(home);
    QByteArray rollout = codexMetaLine("0199a1b2-sample", "/home/dev/app", 600);
    rollout += codexPromptLine(
        QStringLiteral("<environment_context>\n  <cwd>/home/dev/app</cwd>\n</environment_context>"),
        600);
    rollout += codexTurnLine("gpt-5", 600);
    for (const auto& [text, ago] :
         {std::pair{"Fix the failing parser test", 500},
          std::pair{"Now add a regression test", 400}, std::pair{"Thanks, commit it", 300}}) {
        rollout += codexPromptLine(QString::fromUtf8(text), ago);
        rollout += codexUserMessageLine(QString::fromUtf8(text), ago);
    }
    rollout += codexTotalsLine(1000, 200, 100, 290);
    writeFile(dir.filePath(".codex/sessions/2025/06/01/rollout-sample.jsonl"), rollout);
    writeFile(dir.filePath(".codex/auth.json"), "{}");

    writeFile(dir.filePath(".grok/sessions/g1/summary.json"),
              jsonLine({{"info", QJsonObject{{"id", "g1"}, {"cwd", "/home/dev/tool"}}},
                        {"session_summary", "Explain the build"},
                        {"last_active_at", QString::fromUtf8(isoSecondsAgo(120))},
                        {"current_model_id", "grok-code-fast-1"}}));
    writeFile(dir.filePath(".grok/sessions/g1/signals.json"),
              jsonLine({{"contextTokensUsed", 5000}, {"userMessageCount", 1}}));

    QByteArray gemini = jsonLine({{"sessionId", "gemini-sample"},
                                  {"projectHash", "abc"},
                                  {"startTime", QString::fromUtf8(isoSecondsAgo(900))},
                                  {"kind", "main"}});
    int number = 0;
    for (double ago : {900.0, 60.0}) {
        const QString at = QString::fromUtf8(isoSecondsAgo(ago));
        const QString n = QString::number(++number);
        gemini += jsonLine({{"id", "u" + n},
                            {"timestamp", at},
                            {"type", "user"},
                            {"content", QJsonArray{QJsonObject{{"text", "Summarise the log"}}}}});
        gemini += jsonLine({{"id", "g" + n},
                            {"timestamp", at},
                            {"type", "gemini"},
                            {"content", "The log shows two restarts."},
                            {"tokens", QJsonObject{{"input", 100},
                                                   {"output", 20},
                                                   {"cached", 0},
                                                   {"thoughts", 0},
                                                   {"tool", 0},
                                                   {"total", 120}}},
                            {"model", "gemini-2.5-pro"}});
    }
    writeFile(dir.filePath(".gemini/tmp/abc/chats/session-2026-01-01T10-00-abcdef12.jsonl"),
              gemini);

    const ClaudeLine claude{.secondsAgo = 200};
    writeFile(dir.filePath(".claude/projects/-home-dev-web/" + claude.sessionId + ".jsonl"),
              claudePromptLine(QStringLiteral("Make the header sticky"), claude) +
                  claudeAssistantLines({.requestId = "req_011CSample",
                                        .messageId = "msg_01Sample",
                                        .input = 100,
                                        .output = 50,
                                        .cacheRead = 1000,
                                        .cacheWrite5m = 200},
                                       claude) +
                  claudePromptLine(QStringLiteral("And on mobile too"), claude));
}

}  // namespace qm::test
