#include "RunningQtVersion.h"

#include <QtGlobal>

namespace velmora::introspection {

namespace {

std::optional<QVersionNumber>& overridden() {
    static std::optional<QVersionNumber> version;
    return version;
}

const QVersionNumber& fromLibrary() {
    static const QVersionNumber version = QVersionNumber::fromString(QString::fromLatin1(qVersion()));
    return version;
}

} // namespace

QVersionNumber RunningQtVersion::get() {
    if (overridden())
        return *overridden();
    return fromLibrary();
}

RunningQtVersion::Override::Override(QVersionNumber version) : previous_(overridden()) {
    overridden() = std::move(version);
}

RunningQtVersion::Override::~Override() {
    overridden() = previous_;
}

} // namespace velmora::introspection
