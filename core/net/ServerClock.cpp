#include "core/net/ServerClock.h"

#include <QDate>
#include <QDateTime>
#include <QTime>
#include <QTimeZone>

#include <algorithm>
#include <deque>
#include <map>
#include <mutex>

namespace velmora {

namespace {

struct ClockSample {
    ClockOffset bound;
    qint64 receivedMs = 0;
};

struct ClockSamples {
    std::mutex mutex;
    std::map<QString, std::deque<ClockSample>> byHost;
};

ClockSamples& clockSamples() {
    static ClockSamples samples;
    return samples;
}

// A handful per host is plenty to narrow the bound; the hosts are the accounts'.
constexpr std::size_t samplesPerHost = 32;
constexpr std::size_t hostsKept = 64;
// A tracker whose clock is off by more than this is not read at all (a date in the
// wrong century is no clock).
constexpr qint64 plausibleOffset = qint64(366) * 24 * 3600 * 1000;

int monthNumber(const QByteArray& name) {
    static const char* const names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int i = 0; i < 12; ++i) {
        if (name == names[i]) {
            return i + 1;
        }
    }
    return 0;
}

std::optional<int> digits(const QByteArray& text) {
    int value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    return text.isEmpty() ? std::nullopt : std::optional<int>(value);
}

} // namespace

std::optional<qint64> ServerClock::parseHttpDate(const QByteArray& date) {
    // "Sun, 06 Nov 1994 08:49:37 GMT": 29 characters exactly.
    const QByteArray text = date.trimmed();
    if (text.size() != 29 || text.at(3) != ',' || text.at(4) != ' ' || text.at(7) != ' ' ||
        text.at(11) != ' ' || text.at(16) != ' ' || text.at(19) != ':' || text.at(22) != ':' ||
        text.mid(25) != " GMT") {
        return std::nullopt;
    }
    const auto day = digits(text.mid(5, 2));
    const int month = monthNumber(text.mid(8, 3));
    const auto year = digits(text.mid(12, 4));
    const auto hour = digits(text.mid(17, 2));
    const auto minute = digits(text.mid(20, 2));
    const auto second = digits(text.mid(23, 2));
    if (!day || !month || !year || !hour || !minute || !second) {
        return std::nullopt;
    }
    const QDate calendar(*year, month, *day);
    const QTime clock(*hour, *minute, *second);
    if (!calendar.isValid() || !clock.isValid()) {
        return std::nullopt;
    }
    return QDateTime(calendar, clock, QTimeZone::utc()).toMSecsSinceEpoch();
}

void ServerClock::observe(const QString& host, qint64 sentMs, qint64 receivedMs, const QByteArray& date) {
    const auto stamped = parseHttpDate(date);
    if (!stamped || receivedMs < sentMs) {
        return;
    }
    // The date was written between the request leaving and the answer arriving, at
    // some moment of its second: the offset lies between these two.
    ClockSample sample{{*stamped - receivedMs, *stamped + 999 - sentMs}, receivedMs};
    if (std::abs(sample.bound.least) > plausibleOffset || std::abs(sample.bound.most) > plausibleOffset) {
        return;
    }
    ClockSamples& all = clockSamples();
    const std::lock_guard lock(all.mutex);
    if (!all.byHost.count(host) && all.byHost.size() >= hostsKept) {
        all.byHost.erase(all.byHost.begin());
    }
    auto& samples = all.byHost[host];
    samples.push_back(sample);
    while (samples.size() > samplesPerHost) {
        samples.pop_front();
    }
}

std::optional<ClockOffset> ServerClock::offset(const QString& host, qint64 nowMs) {
    ClockSamples& all = clockSamples();
    const std::lock_guard lock(all.mutex);
    const auto found = all.byHost.find(host);
    if (found == all.byHost.end()) {
        return std::nullopt;
    }
    std::optional<ClockOffset> bound;
    for (auto it = found->second.rbegin(); it != found->second.rend(); ++it) {
        if (nowMs - it->receivedMs > sampleLifetime || it->receivedMs - nowMs > sampleLifetime) {
            break;
        }
        if (!bound) {
            bound = it->bound;
            continue;
        }
        const ClockOffset narrowed{std::max(bound->least, it->bound.least),
                                   std::min(bound->most, it->bound.most)};
        // Answers that cannot all be true (machines of one tracker whose clocks differ,
        // or a clock set anew): which of them the tracker stamps by is not known.
        if (narrowed.least > narrowed.most) {
            return std::nullopt;
        }
        bound = narrowed;
    }
    return bound;
}

void ServerClock::forgetAll() {
    ClockSamples& all = clockSamples();
    const std::lock_guard lock(all.mutex);
    all.byHost.clear();
}

} // namespace velmora
