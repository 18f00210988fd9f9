#include "accounts/AccountConfigStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <limits>

#include "core/AtomicFile.h"
#include "core/JsonFields.h"
#include "core/SharedFile.h"

namespace qm {

AccountStoreError AccountStoreError::of(Kind kind) {
    switch (kind) {
        case Kind::emptyAlias:
            return {kind, QStringLiteral("Alias is required.")};
        case Kind::emptyApiKey:
            return {kind, QStringLiteral("API key is required.")};
        case Kind::invalidStorageObject:
            return {kind, QStringLiteral("config.json could not be updated.")};
        case Kind::file:
        case Kind::keychain:
        case Kind::invalidBudget:
            break;
    }
    return {kind, QString()};
}

namespace AccountConfigJson {
namespace {

constexpr const char kGemini[] = "geminiAccounts";
constexpr const char kSelectedGemini[] = "selectedGeminiAccountId";
constexpr const char kAnthropic[] = "anthropicApiAccounts";
constexpr const char kSelectedAnthropic[] = "selectedAnthropicApiAccountId";
constexpr const char kOpenAi[] = "openAiApiAccounts";
constexpr const char kSelectedOpenAi[] = "selectedOpenAiApiAccountId";
constexpr const char kGrok[] = "grokApiAccounts";
constexpr const char kSelectedGrok[] = "selectedGrokApiAccountId";

// The fields only Gemini accounts have.
void readOwn(JsonFields& r, const QJsonObject& o, GeminiAccount& a) {
    r.read(o, "projectId", a.projectId);
    r.read(o, "lastAlertedWarnKey", a.lastAlertedWarnKey);
    r.read(o, "lastAlertedMaxKey", a.lastAlertedMaxKey);
    r.read(o, "customRelayKey", a.customRelayKey);
}

// The fields only Anthropic and OpenAI admin accounts have.
void readOwn(JsonFields& r, const QJsonObject& o, AdminApiAccount& a) {
    r.read(o, "organizationId", a.organizationId);
}

// The fields only Grok accounts have.
void readOwn(JsonFields& r, const QJsonObject& o, GrokApiAccount& a) {
    r.read(o, "keyName", a.keyName);
    r.read(o, "userId", a.userId);
    r.read(o, "teamId", a.teamId);
    r.read(o, "allowedModels", a.allowedModels);
}

// One account record of any kind. A record without an id gets a fresh one, and one without a
// creation time counts as created now.
template <typename Account>
Account readAccount(JsonFields& r, const QJsonObject& o, std::int64_t nowMs) {
    Account a;
    a.createdAtMs = nowMs;
    r.read(o, "id", a.id);
    r.read(o, "alias", a.alias);
    r.read(o, "keyPreview", a.keyPreview);
    r.read(o, "isPrimary", a.isPrimary);
    r.read(o, "isActive", a.isActive);
    r.read(o, "createdAtMs", a.createdAtMs);
    r.read(o, "lastUsedAtMs", a.lastUsedAtMs);
    if constexpr (requires { a.dailyBudgetUsd; }) {
        r.read(o, "dailyBudgetUsd", a.dailyBudgetUsd);
        r.read(o, "monthlyBudgetUsd", a.monthlyBudgetUsd);
        r.read(o, "alertThresholdPct", a.alertThresholdPct);
    }
    readOwn(r, o, a);
    const QJsonValue id = o.value(QLatin1String("id"));
    if (id.isUndefined() || id.isNull()) a.id = ApiAccounts::newId();
    return a;
}

template <typename Account>
void readArray(JsonFields& r, const QJsonObject& root, const char* key, std::vector<Account>& out,
               std::int64_t nowMs) {
    for (const QJsonObject& item : r.objects(root, key))
        out.push_back(readAccount<Account>(r, item, nowMs));
}

void put(QJsonObject& o, const char* key, const std::optional<QString>& value) {
    if (value) o.insert(QLatin1String(key), *value);
}
void put(QJsonObject& o, const char* key, const std::optional<std::int64_t>& value) {
    if (value) o.insert(QLatin1String(key), qint64(*value));
}

QJsonObject write(const GeminiAccount& a) {
    QJsonObject o{{QStringLiteral("id"), a.id},
                  {QStringLiteral("alias"), a.alias},
                  {QStringLiteral("keyPreview"), a.keyPreview},
                  {QStringLiteral("isPrimary"), a.isPrimary},
                  {QStringLiteral("isActive"), a.isActive},
                  {QStringLiteral("createdAtMs"), qint64(a.createdAtMs)},
                  {QStringLiteral("dailyBudgetUsd"), a.dailyBudgetUsd},
                  {QStringLiteral("monthlyBudgetUsd"), a.monthlyBudgetUsd},
                  {QStringLiteral("alertThresholdPct"), a.alertThresholdPct}};
    put(o, "projectId", a.projectId);
    put(o, "lastUsedAtMs", a.lastUsedAtMs);
    put(o, "lastAlertedWarnKey", a.lastAlertedWarnKey);
    put(o, "lastAlertedMaxKey", a.lastAlertedMaxKey);
    put(o, "customRelayKey", a.customRelayKey);
    return o;
}

QJsonObject write(const AdminApiAccount& a) {
    QJsonObject o{{QStringLiteral("id"), a.id},
                  {QStringLiteral("alias"), a.alias},
                  {QStringLiteral("keyPreview"), a.keyPreview},
                  {QStringLiteral("isPrimary"), a.isPrimary},
                  {QStringLiteral("isActive"), a.isActive},
                  {QStringLiteral("createdAtMs"), qint64(a.createdAtMs)},
                  {QStringLiteral("dailyBudgetUsd"), a.dailyBudgetUsd},
                  {QStringLiteral("monthlyBudgetUsd"), a.monthlyBudgetUsd},
                  {QStringLiteral("alertThresholdPct"), a.alertThresholdPct}};
    put(o, "organizationId", a.organizationId);
    put(o, "lastUsedAtMs", a.lastUsedAtMs);
    return o;
}

QJsonObject write(const GrokApiAccount& a) {
    QJsonObject o{{QStringLiteral("id"), a.id},
                  {QStringLiteral("alias"), a.alias},
                  {QStringLiteral("keyPreview"), a.keyPreview},
                  {QStringLiteral("allowedModels"), QJsonArray::fromStringList(a.allowedModels)},
                  {QStringLiteral("isPrimary"), a.isPrimary},
                  {QStringLiteral("isActive"), a.isActive},
                  {QStringLiteral("createdAtMs"), qint64(a.createdAtMs)}};
    put(o, "keyName", a.keyName);
    put(o, "userId", a.userId);
    put(o, "teamId", a.teamId);
    put(o, "lastUsedAtMs", a.lastUsedAtMs);
    return o;
}

template <typename Account>
QJsonArray writeArray(const std::vector<Account>& accounts) {
    QJsonArray array;
    for (const Account& account : accounts) array.append(write(account));
    return array;
}

}  // namespace

const QStringList& accountKeys() {
    static const QStringList keys{kGemini, kSelectedGemini, kAnthropic, kSelectedAnthropic,
                                  kOpenAi, kSelectedOpenAi, kGrok,      kSelectedGrok};
    return keys;
}

std::optional<ApiAccountStorageData> decode(const QJsonObject& root, std::int64_t nowMs) {
    ApiAccountStorageData data;
    JsonFields r;
    readArray(r, root, kGemini, data.geminiAccounts, nowMs);
    r.read(root, kSelectedGemini, data.selectedGeminiAccountId);
    readArray(r, root, kAnthropic, data.anthropicApiAccounts, nowMs);
    r.read(root, kSelectedAnthropic, data.selectedAnthropicApiAccountId);
    readArray(r, root, kOpenAi, data.openAiApiAccounts, nowMs);
    r.read(root, kSelectedOpenAi, data.selectedOpenAiApiAccountId);
    readArray(r, root, kGrok, data.grokApiAccounts, nowMs);
    r.read(root, kSelectedGrok, data.selectedGrokApiAccountId);
    if (r.failed()) return std::nullopt;
    return data;
}

QJsonObject encode(const ApiAccountStorageData& data) {
    QJsonObject root{{kGemini, writeArray(data.geminiAccounts)},
                     {kAnthropic, writeArray(data.anthropicApiAccounts)},
                     {kOpenAi, writeArray(data.openAiApiAccounts)},
                     {kGrok, writeArray(data.grokApiAccounts)}};
    if (data.selectedGeminiAccountId) root.insert(kSelectedGemini, *data.selectedGeminiAccountId);
    if (data.selectedAnthropicApiAccountId)
        root.insert(kSelectedAnthropic, *data.selectedAnthropicApiAccountId);
    if (data.selectedOpenAiApiAccountId)
        root.insert(kSelectedOpenAi, *data.selectedOpenAiApiAccountId);
    if (data.selectedGrokApiAccountId) root.insert(kSelectedGrok, *data.selectedGrokApiAccountId);
    return root;
}

}  // namespace AccountConfigJson

AccountConfigStore::AccountConfigStore(QString configPath) : path_(std::move(configPath)) {}

QString AccountConfigStore::pathIn(const QString& dataDirectory) {
    return QDir(dataDirectory).filePath(QStringLiteral("config.json"));
}

namespace {
// A regular file of sane size only: a FIFO in its place must not hang the program.
constexpr std::int64_t kMaxConfigBytes = 64 << 20;
}  // namespace

AccountConfigStore::LoadResult AccountConfigStore::load(std::int64_t nowMs) const {
    LoadResult result;
    std::optional<FileError> error;
    const std::optional<QByteArray> read = readRegularFile(path_, kMaxConfigBytes, &error);
    if (!read) {
        if (error && error->code != ENOENT) result.state = LoadState::Unreadable;
        return result;
    }
    const QByteArray& bytes = *read;
    if (bytes.isEmpty()) {
        result.state = LoadState::Empty;
        return result;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    std::optional<ApiAccountStorageData> data;
    if (parseError.error == QJsonParseError::NoError && document.isObject()) {
        data = AccountConfigJson::decode(document.object(), nowMs);
    }
    if (!data) {
        result.state = LoadState::Undecodable;
        return result;
    }
    result.data = std::move(*data);
    result.state = LoadState::Loaded;
    return result;
}

std::optional<AccountStoreError> AccountConfigStore::save(const ApiAccountStorageData& data) const {
    const QString folder = QFileInfo(path_).absolutePath();
    if (makePrivateFolder(folder)) {
        return AccountStoreError::fileError(QStringLiteral("Could not create the folder ") +
                                            folder);
    }
    const QJsonObject encoded = AccountConfigJson::encode(data);

    QJsonObject root;
    const QFileInfo info(path_);
    if (info.exists()) {
        std::optional<FileError> readError;
        const std::optional<QByteArray> read = readRegularFile(path_, kMaxConfigBytes, &readError);
        if (!read) {
            return AccountStoreError::fileError(QStringLiteral("Could not read ") + path_ +
                                                QStringLiteral(": ") +
                                                (readError ? readError->message : QString()));
        }
        const QByteArray& bytes = *read;
        if (!bytes.isEmpty()) {
            QJsonParseError parseError;
            const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
            if (parseError.error != QJsonParseError::NoError) {
                return AccountStoreError::fileError(
                    QStringLiteral("config.json is not valid JSON (offset %1): %2")
                        .arg(parseError.offset)
                        .arg(parseError.errorString()));
            }
            if (document.isObject()) root = document.object();
        }
    }
    for (const QString& key : AccountConfigJson::accountKeys()) {
        const auto it = encoded.constFind(key);
        if (it != encoded.constEnd()) {
            root.insert(key, *it);
        } else {
            root.remove(key);
        }
    }
    // Qt's indented form already ends in one line feed; QJsonObject keeps its keys sorted.
    QByteArray bytes = QJsonDocument(root).toJson(QJsonDocument::Indented);
    if (!bytes.endsWith('\n')) bytes.append('\n');
    if (const std::optional<FileError> error = AtomicFile::write(path_, bytes)) {
        return AccountStoreError::fileError(error->message);
    }
    return std::nullopt;
}

}  // namespace qm
