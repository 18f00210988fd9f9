#pragma once

#include <QString>

// The scripts the Claude session runs inside the site's page (in the isolated application
// world, so the site cannot see or change them).
namespace qm::ClaudeScripts {

// Unregisters service workers and deletes cache storage, so stale answers cannot be served.
QString cleanup();

// Fetches the organisation list and the first organisation's usage with the page's cookies
// and posts the outcome, tagged with `nonce`, to the "quotameter" channel object.
QString usage(const QString& nonce);

// Wraps a script so that its evaluation reports "started" or "error: <text>".
QString reportingEvaluation(const QString& script);

}  // namespace qm::ClaudeScripts
