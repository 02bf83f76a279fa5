#pragma once

#include <QString>

// Text rules shared by the validators: characters are user-perceived characters
// (grapheme clusters), texts compare under canonical equivalence, and whitespace
// is the space separators plus the tab, never a line break.
namespace velmora::text {

bool isWhitespace(QChar c);
// Removes whitespace from both ends; line breaks stay.
QString trimWhitespace(const QString& value);
// The number of user-perceived characters.
qsizetype characterCount(const QString& value);
bool canonicallyEqual(const QString& a, const QString& b);
// Whether `value` begins (ends) with `part` as whole characters: "é" does not
// begin with "e", however either is composed.
bool hasPrefix(const QString& value, const QString& part);
bool hasSuffix(const QString& value, const QString& part);

} // namespace velmora::text
