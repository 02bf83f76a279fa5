#include "platform/updates/SystemProfile.h"

#include <QLocale>
#include <QSysInfo>

namespace velmora {

QList<QPair<QString, QString>> SystemProfile::queryItems() {
    const QStringList languages = QLocale().uiLanguages();
    return {
        {QStringLiteral("osName"), QSysInfo::productType()},
        {QStringLiteral("osVersion"), QSysInfo::productVersion()},
        {QStringLiteral("cpuArchitecture"), QSysInfo::currentCpuArchitecture()},
        {QStringLiteral("lang"), languages.isEmpty() ? QLocale().name() : languages.first()},
    };
}

} // namespace velmora
