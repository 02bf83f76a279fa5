#include "UnavailableWarning.h"

#include <QFileInfo>

namespace velmora::introspection {

namespace {
constexpr char kNewIssueAddress[] = "https://issues.velmora.app/introspection/new?title=";
}

QString unavailableWarning(const QString& file, int line) {
    const QString location = QFileInfo(file).fileName() + QLatin1Char(':') + QString::number(line);
    return QStringLiteral("If you're seeing this, someone forgot to mark ") + location +
           QStringLiteral(" as unavailable.\n\nThis won't have any effect, but it should be disallowed "
                          "altogether.\n\nPlease report it upstream so we can properly fix it by using the "
                          "following link:\n\n") +
           QLatin1String(kNewIssueAddress) + QLatin1Char('`') + location +
           QStringLiteral("`+should+be+marked+unavailable");
}

} // namespace velmora::introspection
