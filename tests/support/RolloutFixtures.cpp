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

QByteArray compact(const QJsonObject& object) {
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
    return compact(
        {{"timestamp", QString::fromUtf8(isoSecondsAgo(secondsAgo))},
         {"type", "response_item"},
         {"payload",
          QJsonObject{{"type", "message"}, {"role", "user"}, {"content", QJsonArray{item}}}}});
}

QByteArray codexTotalsLine(std::int64_t input, std::int64_t output, std::int64_t cached,
                           double secondsAgo) {
    const QJsonObject totals{{"input_tokens", qint64(input)},
                             {"output_tokens", qint64(output)},
                             {"cached_input_tokens", qint64(cached)}};
    return compact(
        {{"timestamp", QString::fromUtf8(isoSecondsAgo(secondsAgo))},
         {"type", "event_msg"},
         {"payload", QJsonObject{{"type", "token_count"},
                                 {"info", QJsonObject{{"total_token_usage", totals}}}}}});
}

void writeSampleHome(const QString& home) {
    const QDir dir(home);
    QByteArray rollout = compact({{"timestamp", QString::fromUtf8(isoSecondsAgo(600))},
                                  {"type", "session_meta"},
                                  {"payload", QJsonObject{{"cwd", "/home/dev/app"}}}});
    rollout += compact({{"timestamp", QString::fromUtf8(isoSecondsAgo(600))},
                        {"type", "turn_context"},
                        {"payload", QJsonObject{{"model", "gpt-5"}}}});
    rollout += codexPromptLine(QStringLiteral("Fix the failing parser test"), 500);
    rollout += codexPromptLine(QStringLiteral("Now add a regression test"), 400);
    rollout += codexPromptLine(QStringLiteral("Thanks, commit it"), 300);
    rollout += codexTotalsLine(1000, 200, 100, 290);
    writeFile(dir.filePath(".codex/sessions/2025/06/01/rollout-sample.jsonl"), rollout);
    writeFile(dir.filePath(".codex/auth.json"), "{}");

    writeFile(dir.filePath(".grok/sessions/g1/summary.json"),
              compact({{"info", QJsonObject{{"id", "g1"}, {"cwd", "/home/dev/tool"}}},
                       {"session_summary", "Explain the build"},
                       {"last_active_at", QString::fromUtf8(isoSecondsAgo(120))},
                       {"current_model_id", "grok-code-fast-1"}}));
    writeFile(dir.filePath(".grok/sessions/g1/signals.json"),
              compact({{"contextTokensUsed", 5000}, {"userMessageCount", 1}}));

    QByteArray gemini;
    for (double ago : {900.0, 60.0}) {
        gemini += compact({{"timestamp", QString::fromUtf8(isoSecondsAgo(ago))},
                           {"role", "user"},
                           {"prompt", "Summarise the log"},
                           {"model", "gemini-2.5-pro"},
                           {"usageMetadata",
                            QJsonObject{{"promptTokenCount", 100}, {"candidatesTokenCount", 20}}}});
    }
    writeFile(dir.filePath(".gemini/tmp/abc/logs/session.jsonl"), gemini);
}

}  // namespace qm::test
