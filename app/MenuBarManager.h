#pragma once

#include "app/StatusItem.h"
#include "state/TimerViewModel.h"

#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>

namespace velmora {

class ElapsedTicker;

// Keeps the status item in step with the timer of the current main window: while a
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
    // `item`: null for the system tray.
    explicit MenuBarManager(std::unique_ptr<StatusItem> item = nullptr, QObject* parent = nullptr);
    ~MenuBarManager() override;

    void setTimerViewModel(TimerViewModel* model);
    TimerViewModel* timerViewModel() const { return m_timerViewModel; }

    // Redraws the item.
    void refresh();

    // How the item brings the app's window back (its click, and "Open Velmora" at the
    // top of its menu); without one the item offers neither.
    void setOpenWindow(std::function<void()> open);

    StatusItem& statusItem() const { return *m_item; }
    // What quitting does (tests); default: quit the application.
    void setQuit(std::function<void()> quit) { m_quit = std::move(quit); }

    void menuBarPause();
    void menuBarContinue();
    void menuBarQuit();

signals:
    // The running timer's text ("01:02"), empty when none runs; sent on every refresh.
    void timerTextChanged(const QString& text);

private:
    std::unique_ptr<StatusItem> m_item;
    QPointer<TimerViewModel> m_timerViewModel;
    std::unique_ptr<ElapsedTicker> m_ticker;
    std::function<void()> m_quit;
    std::function<void()> m_openWindow;
};

} // namespace velmora
