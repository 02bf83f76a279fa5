#pragma once

#include "platform/async/Cancellable.h"
#include "platform/notifications/Notification.h"

#include <QObject>
#include <QString>

#include <any>
#include <functional>
#include <memory>

namespace velmora {

// Named notices between parts of the app that hold no references to each other.
//
// Delivery is synchronous, on the thread that posts, in the order observers were
// added. An observer is removed by cancelling (or destroying) the token that
// `addObserver` returns; one removed while a notice is being delivered is not called
// any more. Observers may add or remove observers (also themselves) while being
// called. Adding, removing and posting are safe from any thread; an observer that
// touches widgets must only be posted to from the main thread.
class NotificationCenter {
public:
    using Observer = std::function<void(const Notification&)>;

    NotificationCenter();
    ~NotificationCenter();
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    // The process-wide centre.
    static NotificationCenter& defaultCenter();

    // Calls `observer` for every notice named `name` until the token is cancelled or
    // destroyed. Keep the token in a field (or `detach()` it for an observer that
    // lives as long as the process).
    [[nodiscard]] Cancellable addObserver(const QString& name, Observer observer);

    // The same, and the observer also ends when `context` is destroyed. Delivery
    // still happens on the posting thread, never queued to the context's thread, so
    // post such notices on the context's own thread (for widgets: the main thread).
    [[nodiscard]] Cancellable addObserver(const QString& name, QObject* context, Observer observer);

    void post(const QString& name, std::any object = {});

    // Observers currently registered for `name` (for tests and diagnostics).
    std::size_t observerCount(const QString& name) const;

private:
    struct State;
    std::shared_ptr<State> m_state;
};

} // namespace velmora
