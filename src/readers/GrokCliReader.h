#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "core/UsageModels.h"

namespace simdjson::dom {
class parser;
}

namespace qm {

// Reads the Grok CLI's session folders ("summary.json", optional "signals.json" and
// "chat_history.jsonl", "updates.jsonl") into the Grok summary: billed usage where the tool
// logged it, else an estimate from the context fill. Sessions last
// active before the window start are dropped, so every figure describes the recent window.
class GrokCliReader {
public:
    static constexpr std::uint64_t kMaxChatHistoryBytes = 20'000'000;

    GrokCliReader(QString sessionsDirectory, QString authFile);

    // Never fails: problems become warnings.
    ProviderUsage readUsageSync(TimeMs since) const;

    // One model's part of a finished turn, as updates.jsonl reports it.
    struct TurnUsage {
        std::optional<QString> model;  // none: the turn did not split by model
        std::int64_t input = 0;        // includes `cached`
        std::int64_t cached = 0;
        std::int64_t output = 0;
        std::optional<double> ticks;  // the tool's own cost, 10^10 to the dollar
        bool operator==(const TurnUsage&) const = default;
    };
    // Whether a turn's figures keep the rule for figures from outside (UsageFigures): its
    // counts, input and output together, and its cost.
    static bool withinRule(const TurnUsage& turn);

    enum class TurnLine { other, turn, skipped };
    // The parts of a finished turn that one line of updates.jsonl reports, added to `turns`
    // (`turn`); a turn with a figure that breaks the rule adds nothing (`skipped`).
    static TurnLine addTurnLine(simdjson::dom::parser& parser, std::string_view line,
                                std::vector<TurnUsage>& turns);

    // The summary with each session's turns taken from `turnsOf(updates.jsonl's path)` rather
    // than by reading that file: what readUsageSync() does with turns read elsewhere (the usage
    // index); a file it has no turns for is read here. The session folders' small files are
    // read as readUsageSync() reads them.
    using TurnSource =
        std::function<std::optional<std::vector<TurnUsage>>(const QString& updatesPath)>;
    ProviderUsage summarize(TimeMs since, const TurnSource& turnsOf) const;

private:
    QString sessionsDirectory_;
    QString authFile_;
};

}  // namespace qm
