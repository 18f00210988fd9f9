#pragma once

#include <QString>
#include <variant>

#include "core/ClaudeUsageModel.h"

namespace qm {

// Why a fetch of the Claude limits failed. sentence() is what the user reads: what happened and
// the one thing to do next; description() is the raw failure, for the tool tip and the log.
struct ClaudeWebSessionError {
    // browserFailed: the browser process crashed, hung or could not start.
    enum class Kind { requestFailed, notLoggedIn, timeout, noData, parseFailed, browserFailed };
    Kind kind = Kind::requestFailed;
    QString code;  // the page's failure code, for requestFailed; what happened, for browserFailed

    QString description() const;
    QString sentence() const;
    // not_logged_in... means signed out, "timeout" the answer limit; anything else is passed on.
    static ClaudeWebSessionError fromFailureCode(const QString& code);

    bool operator==(const ClaudeWebSessionError&) const = default;
};

using ClaudeUsageResult = std::variant<UsageApiResponse, ClaudeWebSessionError>;
// The usage answer as the site sent it, before it is read.
using ClaudeUsageText = std::variant<QString, ClaudeWebSessionError>;

// The usage answer read, or parseFailed.
ClaudeUsageResult readClaudeUsage(const QString& text);

}  // namespace qm
