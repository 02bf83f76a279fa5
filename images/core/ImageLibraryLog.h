#pragma once

#include <QLoggingCategory>
#include <QString>

namespace velmora::images {

// The reverse-DNS prefix of the library's log and queue names.
QString libraryPrefix();

} // namespace velmora::images

// The library's one log category: "<prefix>.VIRemoteImage.Default".
Q_DECLARE_LOGGING_CATEGORY(imageLibraryLog)
