#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <vector>

namespace qm {

// Typed reading of the members of JSON objects, the one reader every decoder of QJsonObject
// shares. An absent or null member has no value. A member of the wrong type has no value
// either and marks the reader failed, keeping the first problem as a message: a strict decoder
// (config.json, a provider's answer) then rejects the whole input, a lenient one ignores it.
class JsonFields {
public:
    bool failed() const { return problem_.has_value(); }
    // The first problem, "\"<key>\" is not a string" and the like; empty when none.
    QString problem() const { return problem_.value_or(QString()); }
    // Keeps `what` unless an earlier problem is already kept.
    void fail(QString what);

    std::optional<QString> string(const QJsonObject& object, const char* key);
    // Whole numbers that an std::int64_t holds exactly; a fraction or a larger value fails.
    std::optional<std::int64_t> int64(const QJsonObject& object, const char* key);
    std::optional<double> number(const QJsonObject& object, const char* key);
    std::optional<bool> boolean(const QJsonObject& object, const char* key);
    std::optional<QJsonObject> object(const QJsonObject& object, const char* key);
    // A list of strings; absent is empty.
    QStringList strings(const QJsonObject& object, const char* key);
    // A list of objects; absent is empty, and a failure when `required`.
    std::vector<QJsonObject> objects(const QJsonObject& object, const char* key,
                                     bool required = false);

    // A whole number that an std::int64_t holds exactly, from a value found another way (a
    // map's entries); anything else, a fraction or 1e300 included, has none.
    static std::optional<std::int64_t> wholeNumber(const QJsonValue& value);

    // The member into `out` when it is present and of its type; otherwise `out` keeps its
    // value (a record's default). An int out of the int range fails like a mistyped value.
    void read(const QJsonObject& object, const char* key, QString& out);
    void read(const QJsonObject& object, const char* key, std::optional<QString>& out);
    void read(const QJsonObject& object, const char* key, bool& out);
    void read(const QJsonObject& object, const char* key, double& out);
    void read(const QJsonObject& object, const char* key, std::int64_t& out);
    void read(const QJsonObject& object, const char* key, std::optional<std::int64_t>& out);
    void read(const QJsonObject& object, const char* key, int& out);
    void read(const QJsonObject& object, const char* key, QStringList& out);

private:
    static std::optional<QStringList> stringList(const QJsonValue& value);
    static std::optional<QJsonValue> present(const QJsonObject& object, const char* key);
    void failAt(const char* key, const char* what);

    std::optional<QString> problem_;
};

}  // namespace qm
