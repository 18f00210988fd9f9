#pragma once

#include <QJsonObject>

#include "core/UsageModels.h"

// JSON forms of the local usage records, for `quotameter-cli usage --json`: the records' own
// field names, kinds and levels as raw values, times as ISO 8601 UTC, absent times left out.
namespace qm::UsageJson {

QJsonObject toJson(const SessionUsage& session);
QJsonObject toJson(const ModelUsage& model);
QJsonObject toJson(const ProviderUsage& usage);

}  // namespace qm::UsageJson
