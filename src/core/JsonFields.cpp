#include "core/JsonFields.h"

#include <QJsonArray>
#include <limits>

namespace qm {

void JsonFields::fail(QString what) {
    if (!problem_) problem_ = std::move(what);
}

void JsonFields::failAt(const char* key, const char* what) {
    fail(QLatin1Char('"') + QLatin1String(key) + QStringLiteral("\" is ") + QLatin1String(what));
}

std::optional<QJsonValue> JsonFields::present(const QJsonObject& object, const char* key) {
    const QJsonValue v = object.value(QLatin1String(key));
    if (v.isUndefined() || v.isNull()) return std::nullopt;
    return v;
}

std::optional<QString> JsonFields::string(const QJsonObject& object, const char* key) {
    const auto v = present(object, key);
    if (!v) return std::nullopt;
    if (!v->isString()) {
        failAt(key, "not a string");
        return std::nullopt;
    }
    return v->toString();
}

std::optional<std::int64_t> JsonFields::wholeNumber(const QJsonValue& value) {
    // toInteger gives its default for a fraction or a value out of range: two different
    // defaults tell such a value from a real one.
    const qint64 a = value.toInteger(0), b = value.toInteger(1);
    if (!value.isDouble() || a != b) return std::nullopt;
    return a;
}

std::optional<std::int64_t> JsonFields::int64(const QJsonObject& object, const char* key) {
    const auto v = present(object, key);
    if (!v) return std::nullopt;
    const auto whole = wholeNumber(*v);
    if (!whole) failAt(key, "not an integer");
    return whole;
}

std::optional<double> JsonFields::number(const QJsonObject& object, const char* key) {
    const auto v = present(object, key);
    if (!v) return std::nullopt;
    if (!v->isDouble()) {
        failAt(key, "not a number");
        return std::nullopt;
    }
    return v->toDouble();
}

std::optional<bool> JsonFields::boolean(const QJsonObject& object, const char* key) {
    const auto v = present(object, key);
    if (!v) return std::nullopt;
    if (!v->isBool()) {
        failAt(key, "not a boolean");
        return std::nullopt;
    }
    return v->toBool();
}

std::optional<QJsonObject> JsonFields::object(const QJsonObject& object, const char* key) {
    const auto v = present(object, key);
    if (!v) return std::nullopt;
    if (!v->isObject()) {
        failAt(key, "not an object");
        return std::nullopt;
    }
    return v->toObject();
}

std::optional<QStringList> JsonFields::stringList(const QJsonValue& value) {
    if (!value.isArray()) return std::nullopt;
    QStringList list;
    const QJsonArray items = value.toArray();
    for (const auto& item : items) {
        if (!item.isString()) return std::nullopt;
        list.append(item.toString());
    }
    return list;
}

QStringList JsonFields::strings(const QJsonObject& object, const char* key) {
    const auto v = present(object, key);
    if (!v) return {};
    if (auto list = stringList(*v)) return std::move(*list);
    failAt(key, "not a list of strings");
    return {};
}

std::vector<QJsonObject> JsonFields::objects(const QJsonObject& object, const char* key,
                                             bool required) {
    const auto v = present(object, key);
    if (!v) {
        if (required) failAt(key, "missing");
        return {};
    }
    std::vector<QJsonObject> list;
    if (v->isArray()) {
        const QJsonArray items = v->toArray();
        for (const auto& item : items) {
            if (!item.isObject()) break;
            list.push_back(item.toObject());
        }
        if (qsizetype(list.size()) == v->toArray().size()) return list;
    }
    failAt(key, "not a list of objects");
    return {};
}

void JsonFields::read(const QJsonObject& object, const char* key, QString& out) {
    if (auto v = string(object, key)) out = std::move(*v);
}

void JsonFields::read(const QJsonObject& object, const char* key, std::optional<QString>& out) {
    if (auto v = string(object, key)) out = std::move(*v);
}

void JsonFields::read(const QJsonObject& object, const char* key, bool& out) {
    if (auto v = boolean(object, key)) out = *v;
}

void JsonFields::read(const QJsonObject& object, const char* key, double& out) {
    if (auto v = number(object, key)) out = *v;
}

void JsonFields::read(const QJsonObject& object, const char* key, std::int64_t& out) {
    if (auto v = int64(object, key)) out = *v;
}

void JsonFields::read(const QJsonObject& object, const char* key,
                      std::optional<std::int64_t>& out) {
    if (auto v = int64(object, key)) out = *v;
}

void JsonFields::read(const QJsonObject& object, const char* key, int& out) {
    const auto v = int64(object, key);
    if (!v) return;
    if (*v < std::numeric_limits<int>::min() || *v > std::numeric_limits<int>::max())
        return failAt(key, "not an integer");
    out = int(*v);
}

void JsonFields::read(const QJsonObject& object, const char* key, QStringList& out) {
    const auto v = present(object, key);
    if (!v) return;
    if (auto list = stringList(*v)) {
        out = std::move(*list);
    } else {
        failAt(key, "not a list of strings");
    }
}

}  // namespace qm
