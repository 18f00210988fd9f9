#pragma once

#include <QByteArray>
#include <optional>
#include <vector>

namespace qm {

// Where the members of a JSON object lie in its text, so that one member can be set, added or
// removed while every other byte stays as the person who wrote the file left it: the order of
// the keys, the indentation, the line ends. The text must already have been checked to be
// valid JSON (QJsonDocument); what does not fit the scan gives nothing rather than a guess.
struct JsonMemberText {
    QByteArray key;            // decoded
    qsizetype keyStart = 0;    // the key's opening quote
    qsizetype keyEnd = 0;      // one past its closing quote
    qsizetype valueStart = 0;  // the value's first character
    qsizetype valueEnd = 0;    // one past its last character
};

struct JsonObjectText {
    qsizetype open = 0;   // the '{'
    qsizetype close = 0;  // the '}'
    std::vector<JsonMemberText> members;

    // The object whose '{' is the first character of `text` after `from` that is not white
    // space.
    static std::optional<JsonObjectText> scan(const QByteArray& text, qsizetype from = 0);
    // The last member named `key` (the one JSON readers keep), or null.
    const JsonMemberText* find(const QByteArray& key) const;
};

}  // namespace qm
