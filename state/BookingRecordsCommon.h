#pragma once

#include "core/model/Logger.h"

#include <QString>
#include <QUuid>

// What the files of BookingRecords share.
namespace velmora::bookingrecords {

// A record's (or claim's) key where it is kept.
inline QString keyOf(const QUuid& id) {
    return id.toString(QUuid::WithoutBraces);
}

inline void logRecordsError(const QString& text) {
    logError(Logger::dataManager(), QStringLiteral("[BookingRecords] ") + text);
}

} // namespace velmora::bookingrecords
