#pragma once

#include <QString>

namespace velmora {

// Orders version texts the way people read them: dot-separated parts compared as numbers
// ("1.10" is newer than "1.9"), missing parts as 0 ("1.0" equals "1"), and a part with a
// suffix after its number ("2.0b1") before the same part without one ("2.0").
class AppVersion {
public:
    AppVersion() = delete;

    // Negative when a is older than b, 0 when they are the same version, positive when newer.
    static int compare(const QString& a, const QString& b);
};

} // namespace velmora
