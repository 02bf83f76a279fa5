#pragma once

#include "core/model/ClockOffset.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace velmora {

// What the answers of each tracker host say of its clock against this machine's: every
// answer carries an HTTP "Date", and the time it was sent and received here bound the
// offset between the two clocks. Answers of the last hour are taken together, which
// narrows the bound below a second when their dates tick over at different moments.
// Thread-safe (answers arrive on any thread that sends).
class ServerClock {
public:
    // Answers older than this (ms) no longer tell the offset: a clock set anew since
    // would otherwise be read wrong, and within it even a clock left to itself drifts
    // by well under the slack the crash check allows.
    static constexpr qint64 sampleLifetime = 60 * 60 * 1000;

    // An answer of `host` ("name:port") to a request sent at `sentMs` and answered at
    // `receivedMs` (this machine's clock, ms since 1970), with `date` as its "Date"
    // header. A date that does not read, or lies years off, is left out.
    static void observe(const QString& host, qint64 sentMs, qint64 receivedMs, const QByteArray& date);
    // The offset of `host`'s clock as its recent answers tell, as of `nowMs`; absent
    // when no answer of the last hour carried a date, or when they disagree.
    static std::optional<ClockOffset> offset(const QString& host, qint64 nowMs);
    // Forgets every host (tests).
    static void forgetAll();

    // An IMF-fixdate ("Sun, 06 Nov 1994 08:49:37 GMT"), the only form servers may send,
    // as ms since 1970; absent for anything else.
    static std::optional<qint64> parseHttpDate(const QByteArray& date);
};

} // namespace velmora
