#pragma once

#include "platform/updates/UserDriver.h"

#include <QPointer>

namespace velmora {

class UpdateOfferDialog;

// Dialogs without a parent window, opened without blocking: the offer (one at a time) and
// the message boxes of a check the user asked for.
class StandardUserDriver : public UserDriver {
public:
    void showUpdateFound(const AppcastItem& item, const QString& currentVersion) override;
    void showUpdateNotFound(const QString& currentVersion) override;
    void showUpdaterError(const QString& message) override;

private:
    QPointer<UpdateOfferDialog> m_offer;
};

} // namespace velmora
