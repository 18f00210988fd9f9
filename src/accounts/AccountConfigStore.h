#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <optional>

#include "accounts/ApiAccountModels.h"

namespace qm {

// Why an account operation did not happen. `description` is the text shown to the user.
struct AccountStoreError {
    enum class Kind {
        emptyAlias,            // "Alias is required."
        emptyApiKey,           // "API key is required."
        invalidStorageObject,  // "config.json could not be updated."
        file,                  // reading, parsing or writing config.json
        keychain,              // the secret store
        invalidBudget,         // a budget or alert threshold out of range; says which
    };
    Kind kind = Kind::file;
    QString description;
    bool operator==(const AccountStoreError&) const = default;

    static AccountStoreError of(Kind kind);  // the fixed texts of the first three kinds
    static AccountStoreError fileError(QString text) { return {Kind::file, std::move(text)}; }
};

// The JSON form of the account part of config.json.
namespace AccountConfigJson {

// Absent or null keys take their defaults (a missing id gets a fresh one, a missing creation
// time `nowMs`); unknown keys are ignored; a key of the wrong type makes the whole input
// undecodable.
std::optional<ApiAccountStorageData> decode(const QJsonObject& root, std::int64_t nowMs);
// The eight account keys; optional fields without a value are left out.
QJsonObject encode(const ApiAccountStorageData& data);

// The eight root keys, in file order.
const QStringList& accountKeys();

}  // namespace AccountConfigJson

// Reads and writes config.json. Keys of the root object other than the account keys are left
// as they were by every save.
class AccountConfigStore {
public:
    enum class LoadState {
        Missing,  // no file
        Empty,    // zero bytes
        Loaded,
        Unreadable,   // exists, could not be read
        Undecodable,  // exists, is not an account file
    };
    struct LoadResult {
        ApiAccountStorageData data;
        LoadState state = LoadState::Missing;
    };

    explicit AccountConfigStore(QString configPath);
    static QString pathIn(const QString& dataDirectory);  // <dir>/config.json

    const QString& configPath() const { return path_; }

    // Never fails: every problem gives the empty account set, told apart by `state`.
    LoadResult load(std::int64_t nowMs) const;
    // Creates the folder, merges the account keys into the existing root object and replaces
    // the file through "config.json.tmp" and a rename. After a failure the file is unchanged.
    std::optional<AccountStoreError> save(const ApiAccountStorageData& data) const;

private:
    QString path_;
};

}  // namespace qm
