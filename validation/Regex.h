#pragma once

#include <QRegularExpression>
#include <QString>

#include <optional>

namespace velmora {

// The built-in patterns.
enum class Regex { password, email };

QString rawValue(Regex regex);
// The case whose pattern is exactly `raw`, if any.
std::optional<Regex> regexFromRawValue(const QString& raw);
// The pattern compiled case-insensitive, with Unicode classes for \d and the like.
QRegularExpression compiledRegex(Regex regex);

} // namespace velmora
