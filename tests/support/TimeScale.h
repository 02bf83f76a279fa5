#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <chrono>
#include <cmath>

namespace velmora::test {

// How much slower than a quiet machine this run may be: VELMORA_TEST_TIME_SCALE, a number of
// at least 1 (the sanitised build sets 3). Every time bound a test holds, and every wait for an
// event, is multiplied by it, so a busy or instrumented machine stretches the bounds instead of
// failing them. It never shortens a bound, and a test of "nothing more happens" must still wait
// for a later event that proves it rather than a stretched fixed time.
inline double timeScale() {
    static const double scale = [] {
        const QByteArray text = qgetenv("VELMORA_TEST_TIME_SCALE");
        bool ok = false;
        const double value = text.toDouble(&ok);
        if (!ok || !std::isfinite(value) || value < 1.0) {
            return 1.0;
        }
        return value > 100.0 ? 100.0 : value;
    }();
    return scale;
}

inline int scaledMs(int ms) {
    return static_cast<int>(std::lround(ms * timeScale()));
}

template <typename Rep, typename Period>
std::chrono::milliseconds scaled(std::chrono::duration<Rep, Period> d) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
    return std::chrono::milliseconds(std::llround(static_cast<double>(ms) * timeScale()));
}

} // namespace velmora::test
