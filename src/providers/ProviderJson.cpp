#include "providers/ProviderJson.h"

#include <QJsonDocument>

namespace qm::ProviderJson {

QString Decoder::errorText() const {
    return QStringLiteral("The provider's answer could not be decoded: ") + problem();
}

std::optional<QJsonObject> Decoder::root(const QByteArray& body) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError) {
        fail(QStringLiteral("not JSON (") + error.errorString() + QStringLiteral(")"));
        return std::nullopt;
    }
    if (!document.isObject()) {
        fail(QStringLiteral("not a JSON object"));
        return std::nullopt;
    }
    return document.object();
}

}  // namespace qm::ProviderJson
