#include "core/net/Device.h"

#include <QCryptographicHash>
#include <QNetworkInterface>

#include <algorithm>

namespace velmora {

namespace {
bool hasAddress(const Device::Interface& interface) {
    const QString& address = interface.hardwareAddress;
    return std::any_of(address.begin(), address.end(),
                       [](QChar c) { return c.isLetterOrNumber() && c != u'0'; });
}
} // namespace

std::optional<QString> Device::identifier() {
    std::vector<Interface> interfaces;
    const auto all = QNetworkInterface::allInterfaces();
    for (const auto& interface : all) {
        interfaces.push_back({interface.name(), interface.hardwareAddress(),
                              interface.flags().testFlag(QNetworkInterface::IsLoopBack) ||
                                  interface.type() == QNetworkInterface::Loopback});
    }
    return identifier(interfaces);
}

std::optional<QString> Device::identifier(const std::vector<Interface>& interfaces) {
    const Interface* chosen = nullptr;
    for (const auto& interface : interfaces) {
        if (interface.name == QLatin1String("en0") && hasAddress(interface)) {
            chosen = &interface;
            break;
        }
    }
    if (!chosen) {
        for (const auto& interface : interfaces) {
            if (interface.loopback || !hasAddress(interface)) {
                continue;
            }
            if (!chosen || interface.name < chosen->name) {
                chosen = &interface;
            }
        }
    }
    if (!chosen) {
        return std::nullopt;
    }
    return sha256Hex(chosen->hardwareAddress.toLower());
}

QString Device::sha256Hex(const QString& text) {
    return QString::fromLatin1(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha256).toHex());
}

} // namespace velmora
