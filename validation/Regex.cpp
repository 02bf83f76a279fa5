#include "validation/Regex.h"

namespace velmora {

QString rawValue(Regex regex) {
    switch (regex) {
    case Regex::password:
        return QStringLiteral(R"(^(?=.*[A-Za-z])(?=.*\d)(?=.*[$@$!%*#?&])[A-Za-z\d$@$!%*#?&]{8,}$)");
    case Regex::email:
        return QStringLiteral(R"(^[A-Z0-9a-z._%+-]+@[A-Za-z0-9.-]+\.[A-Za-z]{2,4}$)");
    }
    return QString();
}

std::optional<Regex> regexFromRawValue(const QString& raw) {
    for (Regex regex : {Regex::password, Regex::email}) {
        if (rawValue(regex) == raw) {
            return regex;
        }
    }
    return std::nullopt;
}

QRegularExpression compiledRegex(Regex regex) {
    return QRegularExpression(rawValue(regex), QRegularExpression::CaseInsensitiveOption |
                                                   QRegularExpression::UseUnicodePropertiesOption);
}

} // namespace velmora
