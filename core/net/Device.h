#pragma once

#include <QString>

#include <optional>
#include <vector>

namespace velmora {

// A stable, anonymous identifier of this machine for the software updater's
// "Device-ID" header (tracker requests never carry it): the lower-case hexadecimal
// SHA-256 of a network interface's hardware address text ("a4:83:e7:01:02:03"). The
// raw address never leaves the machine. Nothing is cached: each call looks at the
// interfaces present at that moment.
class Device {
public:
    Device() = delete;

    struct Interface {
        QString name;
        QString hardwareAddress; // as Qt writes it; compared and hashed in lower case
        bool loopback = false;
    };

    // From the machine's interfaces; absent when none qualifies.
    static std::optional<QString> identifier();

    // The rule: the interface named exactly "en0" when there is one with an address,
    // otherwise the first non-loopback interface by name whose address is not all
    // zeros; absent when there is none.
    static std::optional<QString> identifier(const std::vector<Interface>& interfaces);

    // The SHA-256 of the text's UTF-8 bytes as 64 lower-case hexadecimal digits.
    static QString sha256Hex(const QString& text);
};

} // namespace velmora
