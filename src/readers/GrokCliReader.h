#pragma once

#include <QHash>
#include <QString>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/UsageModels.h"

namespace qm {

// The Grok summary: the Grok CLI's session folders (~/.grok/sessions/<cwd>/<id>/), as the
// usage index read them (ledger/), composed into the sessions, models and window figures the
// cards and `usage` show. The tool's records carry no time of their own: a session counts
// whole when it was last active inside the window.
class GrokCliReader {
public:
    // One model's billed usage in a session.
    struct ModelPart {
        QString model;           // empty: the session's model stands in
        std::int64_t input = 0;  // includes `cached`
        std::int64_t cached = 0;
        std::int64_t output = 0;
        double cost = 0;
    };

    // One session folder.
    struct Session {
        QString id;
        QString project;
        QString task;
        QString model;        // empty when the tool named none
        bool hidden = false;  // an agent the tool spawned, not a conversation of the person
        std::int64_t contextTokens = 0;  // the current fill of the context window
        std::int64_t prompts = 0;
        std::optional<TimeMs> startedAt;
        std::optional<TimeMs> lastActiveAt;
        std::vector<ModelPart> usage;  // billed, in order of first use; empty: none logged
        // The tool logged no usage at all (versions before updates.jsonl): what the context
        // fill costs as input.
        std::optional<double> estimatedCost;

        // Adds a turn's part to the model's usage.
        void add(const QString& model, std::int64_t input, std::int64_t cached, std::int64_t output,
                 double cost);
    };

    // Builds the summary one session at a time, in the order of the summary files' paths.
    class Summary {
    public:
        Summary(const QString& sessionsDirectory, const QString& authFile);
        // The sessions folder is missing: the summary says so and takes no session.
        bool isMissing() const { return missing_; }
        // A session active in the window. Of two with one id, the later active one stays.
        void add(Session session);
        ProviderUsage finish();

    private:
        ProviderUsage usage_;
        bool missing_ = false;
        std::vector<Session> kept_;
        QHash<QString, std::size_t> indexById_;
    };
};

}  // namespace qm
