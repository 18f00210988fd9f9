#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <optional>

#include "core/JsonFields.h"

// Strict reading of provider answers: an absent or null field has no value, a field of the
// wrong type makes the whole answer undecodable (the first problem is kept as the message).
namespace qm::ProviderJson {

class Decoder : public JsonFields {
public:
    // "The provider's answer could not be decoded: <what>".
    QString errorText() const;

    // The body as a JSON object.
    std::optional<QJsonObject> root(const QByteArray& body);
};

}  // namespace qm::ProviderJson
