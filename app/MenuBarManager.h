#pragma once

#include "app/StatusItem.h"
#include "state/TimerViewModel.h"

#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>

namespace velmora {

class ElapsedTicker;

// Keeps the status item in step with the current account's timer: while a
// timer is bound it shows the active image with the elapsed hours and minutes and
// offers Pause or Continue, refreshed when those minutes change (and on every change of
// the timer), never while it does not run; otherwise the inactive image.
// "Quit" is always there, and so is "Open Velmora" once the shell said how to open its
// window: the item is how the app is reached while no window is open.
//
// Without a tray the same text goes to `timerTextChanged`, for the main window's title.
class MenuBarManager : public QObject {
    Q_OBJECT
public:
    // Shows `item` from the start.
    explicit MenuBarManager(std::unique_ptr<StatusItem> item, QObject* parent = nullptr);
    // Has no item until showStatusItem(), which makes it with `makeItem` (empty: the
    // system tray's).
    explicit MenuBarManager(std::function<std::unique_ptr<StatusItem>()> makeItem = {},
                            QObject* parent = nullptr);
    ~MenuBarManager() override;

    void setTimerViewModel(TimerViewModel* model);
    TimerViewModel* timerViewModel() const { return m_timerViewModel; }

    // Redraws the item; nothing while there is none yet (its first drawing shows the
    // timer as it stands then).
    void refresh();
    // Makes the item unless it is there, and draws it.
    void showStatusItem();

    // How the item brings the app's window back (its click, and "Open Velmora" at the
    // top of its menu); without one the item offers neither.
    void setOpenWindow(std::function<void()> open);

    // The item, made now if it was not yet.
    StatusItem& statusItem();
    // Whether the item is made and the desktop shows it.
    bool showsStatusItem() const { return m_item && m_item->isAvailable(); }
    // Lines the menu shows first and the item shows with the time (what is on hold),
    // read at each refresh.
    void setNotes(std::function<QStringList()> notes) { m_notes = std::move(notes); }
    // What quitting does (tests); default: quit the application.
    void setQuit(std::function<void()> quit) { m_quit = std::move(quit); }

    void menuBarPause();
    void menuBarContinue();
    void menuBarQuit();

signals:
    // The running timer's text ("01:02"), empty when none runs; sent on every refresh.
    void timerTextChanged(const QString& text);
    // A tray started or ended after the item was made.
    void statusItemAvailabilityChanged(bool available);

private:
    // Hands the new item what it runs on a click and on a change of tray.
    void followItem();

    std::function<std::unique_ptr<StatusItem>()> m_makeItem;
    std::unique_ptr<StatusItem> m_item;
    QPointer<TimerViewModel> m_timerViewModel;
    std::unique_ptr<ElapsedTicker> m_ticker;
    std::function<void()> m_quit;
    std::function<void()> m_openWindow;
    std::function<QStringList()> m_notes;
};

} // namespace velmora
