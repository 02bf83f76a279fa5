#include "app/DesktopTrayWatch.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QGuiApplication>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

namespace velmora {

namespace {
const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString watcherPath = QStringLiteral("/StatusNotifierWatcher");
} // namespace

DesktopTrayWatch::DesktopTrayWatch(QObject* parent) : SystemTrayWatch(parent) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        auto* names =
            new QDBusServiceWatcher(watcherService, bus, QDBusServiceWatcher::WatchForOwnerChange, this);
        connect(names, &QDBusServiceWatcher::serviceOwnerChanged, this, &DesktopTrayWatch::askBus);
        for (const char* signal : {"StatusNotifierHostRegistered", "StatusNotifierHostUnregistered"}) {
            bus.connect(watcherService, watcherPath, watcherService, QLatin1String(signal), this,
                        SLOT(askBus()));
        }
        askBus();
    }
    watchX();
}

DesktopTrayWatch::~DesktopTrayWatch() {
    if (m_traySelection && QCoreApplication::instance()) {
        QCoreApplication::instance()->removeNativeEventFilter(this);
    }
}

void DesktopTrayWatch::askBus() {
    // Asked without waiting: the answer (or the error of a bus with no watcher) comes
    // back through the event loop.
    QDBusMessage question = QDBusMessage::createMethodCall(watcherService, watcherPath,
                                                           QStringLiteral("org.freedesktop.DBus.Properties"),
                                                           QStringLiteral("Get"));
    question << watcherService << QStringLiteral("IsStatusNotifierHostRegistered");
    const int asked = ++m_busQuestion;
    auto* pending =
        new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(question, 5000), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this, asked](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        if (asked != m_busQuestion) {
            return;
        }
        const QDBusPendingReply<QDBusVariant> reply = *call;
        const bool host = !reply.isError() && reply.value().variant().toBool();
        update(host, m_xTray);
    });
}

namespace {

xcb_connection_t* xConnection() {
    const auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

xcb_atom_t internAtom(xcb_connection_t* connection, const QByteArray& name) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, static_cast<uint16_t>(name.size()), name.constData()),
        nullptr);
    const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(reply);
    return atom;
}

// The display's default screen: what follows the dot of ":0.1".
int defaultScreen() {
    const QByteArray display = qgetenv("DISPLAY");
    const qsizetype dot = display.lastIndexOf('.');
    const qsizetype colon = display.lastIndexOf(':');
    bool ok = false;
    const int number = dot > colon ? display.mid(dot + 1).toInt(&ok) : 0;
    return ok ? number : 0;
}

xcb_window_t rootWindow(xcb_connection_t* connection, int number) {
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; screens.rem > 0; ++i, xcb_screen_next(&screens)) {
        if (i == number) {
            return screens.data->root;
        }
    }
    return XCB_WINDOW_NONE;
}

// Adds `mask` to the events this client takes from `window`, keeping those selected.
void selectEvents(xcb_connection_t* connection, xcb_window_t window, uint32_t mask) {
    xcb_get_window_attributes_reply_t* attributes =
        xcb_get_window_attributes_reply(connection, xcb_get_window_attributes(connection, window), nullptr);
    if (!attributes) {
        return;
    }
    const uint32_t events = attributes->your_event_mask | mask;
    std::free(attributes);
    xcb_change_window_attributes(connection, window, XCB_CW_EVENT_MASK, &events);
}

} // namespace

void DesktopTrayWatch::watchX() {
    xcb_connection_t* connection = xConnection();
    if (!connection) {
        return;
    }
    const int screen = defaultScreen();
    const xcb_window_t root = rootWindow(connection, screen);
    m_traySelection = internAtom(connection, "_NET_SYSTEM_TRAY_S" + QByteArray::number(screen));
    m_managerAtom = internAtom(connection, "MANAGER");
    if (root == XCB_WINDOW_NONE || m_traySelection == XCB_ATOM_NONE || m_managerAtom == XCB_ATOM_NONE) {
        m_traySelection = 0;
        return;
    }
    // A tray that takes the selection says so to the root window's structure listeners.
    selectEvents(connection, root, XCB_EVENT_MASK_STRUCTURE_NOTIFY);
    QCoreApplication::instance()->installNativeEventFilter(this);
    checkX();
}

void DesktopTrayWatch::checkX() {
    xcb_connection_t* connection = xConnection();
    if (!connection || !m_traySelection) {
        return;
    }
    xcb_get_selection_owner_reply_t* reply = xcb_get_selection_owner_reply(
        connection, xcb_get_selection_owner(connection, m_traySelection), nullptr);
    m_trayOwner = reply ? reply->owner : xcb_window_t(XCB_WINDOW_NONE);
    std::free(reply);
    if (m_trayOwner != XCB_WINDOW_NONE) {
        // Its end: the tray's window goes with it.
        selectEvents(connection, m_trayOwner, XCB_EVENT_MASK_STRUCTURE_NOTIFY);
    }
    update(m_busTray, m_trayOwner != XCB_WINDOW_NONE);
}

bool DesktopTrayWatch::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (eventType != "xcb_generic_event_t" || !m_traySelection) {
        return false;
    }
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    const uint8_t type = event->response_type & 0x7f;
    if (type == XCB_CLIENT_MESSAGE) {
        const auto* client = static_cast<const xcb_client_message_event_t*>(message);
        if (client->type == m_managerAtom && client->format == 32 &&
            client->data.data32[1] == m_traySelection) {
            checkX();
        }
    } else if (type == XCB_DESTROY_NOTIFY && m_trayOwner != XCB_WINDOW_NONE) {
        if (static_cast<const xcb_destroy_notify_event_t*>(message)->window == m_trayOwner) {
            checkX();
        }
    }
    // Qt's platform plugin sees them too.
    return false;
}

void DesktopTrayWatch::update(bool busTray, bool xTray) {
    const bool was = isAvailable();
    m_busTray = busTray;
    m_xTray = xTray;
    if (isAvailable() != was) {
        emit availabilityChanged(isAvailable());
    }
}

} // namespace velmora
