#include "core/JsonObjectText.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <algorithm>

namespace qm {

namespace {

qsizetype skipSpace(const QByteArray& text, qsizetype i) {
    while (i < text.size() &&
           (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r'))
        ++i;
    return i;
}

// One past the closing quote of the string that opens at `i`; -1 when it does not close.
qsizetype skipString(const QByteArray& text, qsizetype i) {
    for (++i; i < text.size(); ++i) {
        if (text[i] == '\\') {
            ++i;
        } else if (text[i] == '"') {
            return i + 1;
        }
    }
    return -1;
}

// One past the value that starts at `i`; -1 when it does not end.
qsizetype skipValue(const QByteArray& text, qsizetype i) {
    if (i >= text.size()) return -1;
    if (text[i] == '"') return skipString(text, i);
    if (text[i] != '{' && text[i] != '[') {
        while (i < text.size() && !QByteArrayView(",}] \t\r\n").contains(text[i])) ++i;
        return i;
    }
    int depth = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '"') {
            i = skipString(text, i);
            if (i < 0) return -1;
            continue;
        }
        if (c == '{' || c == '[') ++depth;
        if ((c == '}' || c == ']') && --depth == 0) return i + 1;
        ++i;
    }
    return -1;
}

QByteArray decodedKey(const QByteArray& token) {
    const QJsonDocument document = QJsonDocument::fromJson('[' + token + ']');
    return document.array().at(0).toString().toUtf8();
}

}  // namespace

std::optional<JsonObjectText> JsonObjectText::scan(const QByteArray& text, qsizetype from) {
    JsonObjectText object;
    qsizetype i = skipSpace(text, from);
    if (i >= text.size() || text[i] != '{') return std::nullopt;
    object.open = i;
    i = skipSpace(text, i + 1);
    while (i < text.size() && text[i] != '}') {
        JsonMemberText member;
        member.keyStart = i;
        if (text[i] != '"' || (member.keyEnd = skipString(text, i)) < 0) return std::nullopt;
        member.key = decodedKey(text.mid(i, member.keyEnd - i));
        i = skipSpace(text, member.keyEnd);
        if (i >= text.size() || text[i] != ':') return std::nullopt;
        member.valueStart = skipSpace(text, i + 1);
        if ((member.valueEnd = skipValue(text, member.valueStart)) < 0) return std::nullopt;
        object.members.push_back(member);
        i = skipSpace(text, member.valueEnd);
        if (i < text.size() && text[i] == ',') i = skipSpace(text, i + 1);
    }
    if (i >= text.size()) return std::nullopt;
    object.close = i;
    return object;
}

const JsonMemberText* JsonObjectText::find(const QByteArray& key) const {
    // The last one: JSON readers keep the last of a repeated key.
    const auto found = std::find_if(members.rbegin(), members.rend(),
                                    [&](const JsonMemberText& m) { return m.key == key; });
    return found == members.rend() ? nullptr : &*found;
}

}  // namespace qm
