#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <vector>

// Strict reading of provider answers: an absent or null field has no value, a field of the
// wrong type makes the whole answer undecodable (the first problem is kept as the message).
namespace qm::ProviderJson {

class Decoder {
public:
    bool failed() const { return error_.has_value(); }
    // "The provider's answer could not be decoded: <what>".
    QString errorText() const;

    // The body as a JSON object.
    std::optional<QJsonObject> root(const QByteArray& body);

    std::optional<QString> string(const QJsonObject& object, const char* key);
    std::optional<std::int64_t> int64(const QJsonObject& object, const char* key);
    std::optional<double> number(const QJsonObject& object, const char* key);
    std::optional<bool> boolean(const QJsonObject& object, const char* key);
    QStringList strings(const QJsonObject& object, const char* key);  // absent: empty
    // An array of objects; absent is empty unless `required`.
    std::vector<QJsonObject> objects(const QJsonObject& object, const char* key,
                                     bool required = false);

private:
    std::optional<QJsonValue> value(const QJsonObject& object, const char* key);
    void fail(QString what);

    std::optional<QString> error_;
};

}  // namespace qm::ProviderJson
