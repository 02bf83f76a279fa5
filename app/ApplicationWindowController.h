#pragma once

#include "app/ShellEnvironment.h"
#include "app/WindowViews.h"
#include "core/model/AnyProvider.h"
#include "platform/async/Cancellable.h"
#include "state/ApplicationRoute.h"
#include "views/main/ToolbarHost.h"

#include <QElapsedTimer>
#include <QMainWindow>
#include <QPointer>
#include <QScrollArea>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include <QToolBar>

class QDialog;

namespace velmora {

class ApplicationViewModel;
class SidebarSplitViewController;
class TimerViewModel;

// The main window of one account: it owns the account's ApplicationViewModel, shows the
// account's TimerViewModel (which the window manager keeps beyond the window), the
// sidebar and the detail pane of the current route side by side, installs the toolbar
// that the detail pane supplies, swaps the whole content for the rate-limit screen
// while the account is rate-limited (once no sheet is open on the window, so a booking
// being typed is never lost), and says when it closes. A new one is made for every
// account the window manager shows; the old one is closed first.
class ApplicationWindowController : public QMainWindow, public ToolbarHost {
    Q_OBJECT

public:
    static constexpr int minimumWidth = 812;
    static constexpr int minimumHeight = 400;
    // The key of the window's saved frame.
    static inline const QString frameAutosaveName = QStringLiteral("ApplicationWindow");
    // The size of a first start (no frame saved yet) on a screen whose free area is
    // `available`: room for the sidebar, a task list and the task's detail, within
    // the screen, never under the minimum.
    static QSize firstStartSize(const QRect& available);
    // The least size on a screen whose free area is `available`.
    static QSize minimumSizeWithin(const QRect& available);
    // `frame` (a window's, decorations aside) moved and shrunk as far as it takes to lie
    // within `available`, never below minimumSizeWithin().
    static QRect placedWithin(const QRect& frame, const QRect& available);

    // Tells the window whether its close is part of an account switch.
    using IsSwitching = std::function<bool()>;

    // A window ready to show for `provider` (a stored account, so it has an id), with the
    // account's `timerViewModel`.
    static ApplicationWindowController* make(const AnyProvider& provider, const ShellEnvironment& environment,
                                             const WindowViews& views,
                                             std::shared_ptr<TimerViewModel> timerViewModel,
                                             IsSwitching isSwitching);
    ~ApplicationWindowController() override;

    const AnyProvider& provider() const { return m_provider; }
    ApplicationViewModel* applicationViewModel() const { return m_applicationViewModel.get(); }
    TimerViewModel* timerViewModel() const { return m_timerViewModel.get(); }
    const std::optional<ApplicationRoute>& previousRoute() const { return m_previousRoute; }

    // Builds the normal content; also what the rate-limit screen's retry calls.
    virtual void setupContent();
    // Replaces the whole content by the rate-limit screen for `delay` seconds.
    virtual void showRateLimit(std::int64_t delay);
    // The detail pane, or null while the content is not the sidebar split.
    virtual QWidget* contentSplitItem() const;
    // Rebuilds the toolbar from the detail pane (removed when the pane supplies none).
    void updateToolbar() override;
    // Qt windows have no subtitle: it follows the title after a dash.
    void setTitleAndSubtitle(const QString& title, const QString& subtitle) override;
    const QString& subtitle() const { return m_subtitle; }
    // The running time after the title, where nothing else shows it; empty for none.
    // It stays when a view sets its own title.
    void setRunningTime(const QString& text);

    // The split of the normal content; null on the rate-limit screen.
    SidebarSplitViewController* splitViewController() const;
    // The installed toolbar (identifier as its object name), or null.
    QToolBar* toolbar() const { return m_toolbar; }
    // Whether the window has closed.
    bool hasClosed() const { return m_closed; }
    // The main window's word on the account's bookings (in the bar under the content),
    // or null without booking records.
    QWidget* bookingStatus() const { return m_bookingStatus; }

signals:
    // The window closed (once); `byUser` is false for a close of an account switch.
    void closed(bool byUser);

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    ApplicationWindowController(AnyProvider provider, ShellEnvironment environment, WindowViews views,
                                IsSwitching isSwitching);

    void handleRateLimit(const std::any& object);
    // The rate-limit screen once no sheet is open on the window.
    void showPendingRateLimit();
    // A window-modal sheet shown on the window, or null.
    QDialog* openSheet() const;
    void routeChanged(const ApplicationRoute& route);
    void updateToolbar(const ApplicationRoute& shown);
    void windowWillClose();
    void saveFrame();
    void restoreFrame();

    const AnyProvider m_provider;
    const ShellEnvironment m_environment;
    const WindowViews m_views;
    const IsSwitching m_isSwitching;
    std::unique_ptr<ApplicationViewModel> m_applicationViewModel;
    std::shared_ptr<TimerViewModel> m_timerViewModel;
    std::optional<ApplicationRoute> m_previousRoute;
    QMetaObject::Connection m_routeDisposable;
    Cancellable m_rateLimitObserver;
    // A limit announced while a sheet was open, waiting for the sheet to close.
    struct PendingRateLimit {
        std::int64_t delay = 0;
        QElapsedTimer since;
        std::int64_t secondsLeft() const;
    };
    std::optional<PendingRateLimit> m_pendingRateLimit;
    QPointer<QToolBar> m_toolbar;
    bool m_closed = false;
    QString m_subtitle;
    QString m_viewTitle;
    QString m_runningTime;
    QPointer<QWidget> m_bookingStatus;
    // The booking strip's scrolled room, as tall as the content leaves it.
    QPointer<QScrollArea> m_stripArea;
    void fitStrip();
};

} // namespace velmora
