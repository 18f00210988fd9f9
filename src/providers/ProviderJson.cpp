#include "providers/ProviderJson.h"

#include <QJsonDocument>

namespace qm::ProviderJson {

QString Decoder::errorText() const {
    return QStringLiteral("The provider's answer could not be decoded: ") +
           error_.value_or(QString());
}

void Decoder::fail(QString what) {
    if (!error_) error_ = std::move(what);
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

std::optional<QJsonValue> Decoder::value(const QJsonObject& object, const char* key) {
    const QJsonValue v = object.value(QLatin1String(key));
    if (v.isUndefined() || v.isNull()) return std::nullopt;
    return v;
}

std::optional<QString> Decoder::string(const QJsonObject& object, const char* key) {
    const auto v = value(object, key);
    if (!v) return std::nullopt;
    if (!v->isString()) {
        fail(QStringLiteral("\"%1\" is not a string").arg(QLatin1String(key)));
        return std::nullopt;
    }
    return v->toString();
}

std::optional<std::int64_t> Decoder::int64(const QJsonObject& object, const char* key) {
    const auto v = value(object, key);
    if (!v) return std::nullopt;
    // toInteger falls back to its default for fractions and out-of-range values.
    const qint64 a = v->toInteger(0), b = v->toInteger(1);
    if (!v->isDouble() || a != b) {
        fail(QStringLiteral("\"%1\" is not an integer").arg(QLatin1String(key)));
        return std::nullopt;
    }
    return a;
}

std::optional<double> Decoder::number(const QJsonObject& object, const char* key) {
    const auto v = value(object, key);
    if (!v) return std::nullopt;
    if (!v->isDouble()) {
        fail(QStringLiteral("\"%1\" is not a number").arg(QLatin1String(key)));
        return std::nullopt;
    }
    return v->toDouble();
}

std::optional<bool> Decoder::boolean(const QJsonObject& object, const char* key) {
    const auto v = value(object, key);
    if (!v) return std::nullopt;
    if (!v->isBool()) {
        fail(QStringLiteral("\"%1\" is not a boolean").arg(QLatin1String(key)));
        return std::nullopt;
    }
    return v->toBool();
}

QStringList Decoder::strings(const QJsonObject& object, const char* key) {
    const auto v = value(object, key);
    if (!v) return {};
    QStringList list;
    if (v->isArray()) {
        for (const QJsonArray items = v->toArray(); const QJsonValue& item : items) {
            if (!item.isString()) break;
            list.append(item.toString());
        }
        if (list.size() == v->toArray().size()) return list;
    }
    fail(QStringLiteral("\"%1\" is not a list of strings").arg(QLatin1String(key)));
    return {};
}

std::vector<QJsonObject> Decoder::objects(const QJsonObject& object, const char* key,
                                          bool required) {
    const auto v = value(object, key);
    if (!v) {
        if (required) fail(QStringLiteral("\"%1\" is missing").arg(QLatin1String(key)));
        return {};
    }
    std::vector<QJsonObject> list;
    if (v->isArray()) {
        for (const QJsonArray items = v->toArray(); const QJsonValue& item : items) {
            if (!item.isObject()) break;
            list.push_back(item.toObject());
        }
        if (qsizetype(list.size()) == v->toArray().size()) return list;
    }
    fail(QStringLiteral("\"%1\" is not a list of objects").arg(QLatin1String(key)));
    return {};
}

}  // namespace qm::ProviderJson
