#pragma once

#include "app/DeepLink.h"

#include <QObject>
#include <QStringList>

namespace velmora {

class WindowManager;

// Acts on the links the app is opened with: the tokens of a sign-in go, as a notice,
// to the setup form that waits for them; the add-account link opens the Accounts page
// and starts account creation there. Links that are no link of ours are ignored; a
// sign-in that no form waits for is ignored with a log line. Neither the line nor
// anything else logs a link whole (its query carries tokens).
class DeepLinkHandler : public QObject {
    Q_OBJECT
public:
    // How long the Accounts page gets to appear before account creation starts.
    static constexpr int addAccountDelayMs = 100;

    explicit DeepLinkHandler(WindowManager& windows, QObject* parent = nullptr);

    // Each in order.
    void handle(const QStringList& urls);
    void handle(const DeepLink::Value& link);

private:
    WindowManager& m_windows;
};

} // namespace velmora
