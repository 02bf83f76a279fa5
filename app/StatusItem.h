#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

namespace velmora {

// One entry of the status item's menu: a title with its action (none: shown disabled),
// or a separator.
struct StatusMenuEntry {
    QString title;
    std::function<void()> action;
    bool separator = false;

    bool enabled() const { return static_cast<bool>(action); }
};

// The app's item in the desktop's tray: an image (an asset name) with a text, and its
// menu. The tray stands behind this so the menu-bar manager can be tried without one.
class StatusItem {
public:
    virtual ~StatusItem() = default;

    // Whether the desktop shows the item at all.
    virtual bool isAvailable() const = 0;
    virtual void setImage(const QString& assetName) = 0;
    virtual void setTitle(const QString& title) = 0;
    // Whether the time of the title runs or stands still (a paused timer): the item
    // shows which.
    virtual void setRunning(bool /*running*/) {}
    // The task whose time the title is (empty: none), named beside the time.
    virtual void setSubject(const QString& /*task*/) {}
    // What is on hold, a line each, shown with the time (plain text).
    virtual void setNotes(const QStringList& /*notes*/) {}
    // Replaces the whole menu.
    virtual void setMenu(const QList<StatusMenuEntry>& entries) = 0;
    // What a click on the item does (none: nothing); the menu has a button of its own.
    virtual void setActivation(std::function<void()> /*activate*/) {}
    // Runs when `isAvailable()` changes (a tray started or ended after the app did).
    virtual void setAvailabilityChanged(std::function<void()> /*changed*/) {}
};

} // namespace velmora
