#include "accounts/AccountConfigStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <limits>

#include "core/AtomicFile.h"
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

const QString kGemini = QStringLiteral("geminiAccounts");
const QString kSelectedGemini = QStringLiteral("selectedGeminiAccountId");
const QString kAnthropic = QStringLiteral("anthropicApiAccounts");
const QString kSelectedAnthropic = QStringLiteral("selectedAnthropicApiAccountId");
const QString kOpenAi = QStringLiteral("openAiApiAccounts");
const QString kSelectedOpenAi = QStringLiteral("selectedOpenAiApiAccountId");
const QString kGrok = QStringLiteral("grokApiAccounts");
const QString kSelectedGrok = QStringLiteral("selectedGrokApiAccountId");

// Reads typed fields of one object; the first mistyped value marks the whole input bad.
class Reader {
public:
    Reader(const QJsonObject& object, bool& failed) : object_(object), failed_(failed) {}

    void text(const char* key, QString& out) {
        const QJsonValue v = value(key);
        if (v.isUndefined()) return;
        if (!v.isString()) return fail();
        out = v.toString();
    }
    void text(const char* key, std::optional<QString>& out) {
        const QJsonValue v = value(key);
        if (v.isUndefined()) return;
        if (!v.isString()) return fail();
        out = v.toString();
    }
    void flag(const char* key, bool& out) {
        const QJsonValue v = value(key);
        if (v.isUndefined()) return;
        if (!v.isBool()) return fail();
        out = v.toBool();
    }
    void number(const char* key, double& out) {
        const QJsonValue v = value(key);
        if (v.isUndefined()) return;
        if (!v.isDouble()) return fail();
        out = v.toDouble();
    }
    void integer(const char* key, std::int64_t& out) {
        std::optional<std::int64_t> read;
        integer(key, read);
        if (read) out = *read;
    }
    void integer(const char* key, std::optional<std::int64_t>& out) {
        const QJsonValue v = value(key);
        if (v.isUndefined()) return;
        // toInteger gives its default for a fraction or a value out of range: two different
        // defaults tell such a value from a real one.
        const qint64 a = v.toInteger(0), b = v.toInteger(1);
        if (!v.isDouble() || a != b) return fail();
        out = a;
    }
    void integer(const char* key, int& out) {
        std::optional<std::int64_t> read;
        integer(key, read);
        if (!read) return;
        if (*read < std::numeric_limits<int>::min() || *read > std::numeric_limits<int>::max())
            return fail();
        out = int(*read);
    }
    void texts(const char* key, QStringList& out) {
        const QJsonValue v = value(key);
        if (v.isUndefined()) return;
        if (!v.isArray()) return fail();
        QStringList list;
        const QJsonArray items = v.toArray();  // const: iterating it copies nothing
        for (const QJsonValue& item : items) {
            if (!item.isString()) return fail();
            list.append(item.toString());
        }
        out = list;
    }

private:
    // Absent and null read alike.
    QJsonValue value(const char* key) const {
        const QJsonValue v = object_.value(QLatin1String(key));
        return v.isNull() ? QJsonValue(QJsonValue::Undefined) : v;
    }
    void fail() { failed_ = true; }

    const QJsonObject& object_;
    bool& failed_;
};

bool idAbsent(const QJsonObject& o) {
    const QJsonValue v = o.value(QLatin1String("id"));
    return v.isUndefined() || v.isNull();
}

void readCommon(Reader& r, QString& id, QString& alias, QString& keyPreview) {
    r.text("id", id);
    r.text("alias", alias);
    r.text("keyPreview", keyPreview);
}

GeminiAccount readGemini(const QJsonObject& o, std::int64_t nowMs, bool& failed) {
    GeminiAccount a;
    a.createdAtMs = nowMs;
    Reader r(o, failed);
    readCommon(r, a.id, a.alias, a.keyPreview);
    r.text("projectId", a.projectId);
    r.flag("isPrimary", a.isPrimary);
    r.flag("isActive", a.isActive);
    r.integer("createdAtMs", a.createdAtMs);
    r.integer("lastUsedAtMs", a.lastUsedAtMs);
    r.number("dailyBudgetUsd", a.dailyBudgetUsd);
    r.number("monthlyBudgetUsd", a.monthlyBudgetUsd);
    r.integer("alertThresholdPct", a.alertThresholdPct);
    r.text("lastAlertedWarnKey", a.lastAlertedWarnKey);
    r.text("lastAlertedMaxKey", a.lastAlertedMaxKey);
    r.text("customRelayKey", a.customRelayKey);
    if (idAbsent(o)) a.id = ApiAccounts::newId();
    return a;
}

AdminApiAccount readAdmin(const QJsonObject& o, std::int64_t nowMs, bool& failed) {
    AdminApiAccount a;
    a.createdAtMs = nowMs;
    Reader r(o, failed);
    readCommon(r, a.id, a.alias, a.keyPreview);
    r.text("organizationId", a.organizationId);
    r.flag("isPrimary", a.isPrimary);
    r.flag("isActive", a.isActive);
    r.integer("createdAtMs", a.createdAtMs);
    r.integer("lastUsedAtMs", a.lastUsedAtMs);
    r.number("dailyBudgetUsd", a.dailyBudgetUsd);
    r.number("monthlyBudgetUsd", a.monthlyBudgetUsd);
    r.integer("alertThresholdPct", a.alertThresholdPct);
    if (idAbsent(o)) a.id = ApiAccounts::newId();
    return a;
}

GrokApiAccount readGrok(const QJsonObject& o, std::int64_t nowMs, bool& failed) {
    GrokApiAccount a;
    a.createdAtMs = nowMs;
    Reader r(o, failed);
    readCommon(r, a.id, a.alias, a.keyPreview);
    r.text("keyName", a.keyName);
    r.text("userId", a.userId);
    r.text("teamId", a.teamId);
    r.texts("allowedModels", a.allowedModels);
    r.flag("isPrimary", a.isPrimary);
    r.flag("isActive", a.isActive);
    r.integer("createdAtMs", a.createdAtMs);
    r.integer("lastUsedAtMs", a.lastUsedAtMs);
    if (idAbsent(o)) a.id = ApiAccounts::newId();
    return a;
}

template <typename Account, typename Read>
void readArray(const QJsonObject& root, const QString& key, std::vector<Account>& out,
               std::int64_t nowMs, bool& failed, Read read) {
    const QJsonValue v = root.value(key);
    if (v.isUndefined() || v.isNull()) return;
    if (!v.isArray()) {
        failed = true;
        return;
    }
    const QJsonArray items = v.toArray();  // const: iterating it copies nothing
    for (const QJsonValue& item : items) {
        if (!item.isObject()) {
            failed = true;
            return;
        }
        out.push_back(read(item.toObject(), nowMs, failed));
    }
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

void readSelected(const QJsonObject& root, const QString& key, std::optional<QString>& out,
                  bool& failed) {
    const QJsonValue v = root.value(key);
    if (v.isUndefined() || v.isNull()) return;
    if (!v.isString()) {
        failed = true;
        return;
    }
    out = v.toString();
}

}  // namespace

const QStringList& accountKeys() {
    static const QStringList keys{kGemini, kSelectedGemini, kAnthropic, kSelectedAnthropic,
                                  kOpenAi, kSelectedOpenAi, kGrok,      kSelectedGrok};
    return keys;
}

std::optional<ApiAccountStorageData> decode(const QJsonObject& root, std::int64_t nowMs) {
    ApiAccountStorageData data;
    bool failed = false;
    readArray(root, kGemini, data.geminiAccounts, nowMs, failed, readGemini);
    readSelected(root, kSelectedGemini, data.selectedGeminiAccountId, failed);
    readArray(root, kAnthropic, data.anthropicApiAccounts, nowMs, failed, readAdmin);
    readSelected(root, kSelectedAnthropic, data.selectedAnthropicApiAccountId, failed);
    readArray(root, kOpenAi, data.openAiApiAccounts, nowMs, failed, readAdmin);
    readSelected(root, kSelectedOpenAi, data.selectedOpenAiApiAccountId, failed);
    readArray(root, kGrok, data.grokApiAccounts, nowMs, failed, readGrok);
    readSelected(root, kSelectedGrok, data.selectedGrokApiAccountId, failed);
    if (failed) return std::nullopt;
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

AccountConfigStore::LoadResult AccountConfigStore::load(std::int64_t nowMs) const {
    LoadResult result;
    // A regular file of sane size only: a FIFO in its place must not hang the program.
    constexpr std::int64_t kMaxBytes = 64 << 20;
    std::optional<FileError> error;
    const std::optional<QByteArray> read = readRegularFile(path_, kMaxBytes, &error);
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
    if (!QDir().mkpath(folder)) {
        return AccountStoreError::fileError(QStringLiteral("Could not create the folder ") +
                                            folder);
    }
    const QJsonObject encoded = AccountConfigJson::encode(data);

    QJsonObject root;
    const QFileInfo info(path_);
    if (info.exists()) {
        QFile file(path_);
        if (!file.open(QIODevice::ReadOnly)) {
            return AccountStoreError::fileError(QStringLiteral("Could not read ") + path_ +
                                                QStringLiteral(": ") + file.errorString());
        }
        const QByteArray bytes = file.readAll();
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
