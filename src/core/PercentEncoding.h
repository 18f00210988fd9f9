#pragma once

#include <QString>
#include <optional>

namespace qm {

// Decodes "%XX" escapes. Strict: a stray "%" or bytes that are not UTF-8 give nothing, so a
// caller can keep the text as it came.
std::optional<QString> percentDecoded(const QString& text);

}  // namespace qm
