#pragma once

#include "platform/async/Cancellable.h"
#include "state/ApplicationViewModel.h"
#include "state/TimerViewModel.h"
#include "views/main/BookTimeView.h"

#include <QDialog>
#include <QPointer>
#include <QUuid>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

class QLabel;
class QListView;
class QMessageBox;
class QStackedWidget;

namespace velmora {

class AbstractWorkLogForm;
class ActivityIndicator;
class AvatarView;
class FetchProvider;
class LoadFailureView;
class NavigationLinkButton;
struct Notification;
class ProjectListModel;
class ProviderStore;
class TimerBlockView;

// The fixed left column of the main window: the current account (a click opens the
// account switcher), the "Calendar" entry, the account's projects with their stars,
// and the timer block. Choosing an entry writes the route of the window's
// application state, which decides the detail pane.
//
// The sidebar also presents the booking sheet: when the timer is stopped
// ("TimerCanceled", with the elapsed time), when the task list asks for a work log
// by hand ("AddManualWorkLog", with no time), and when seconds returned to the user are
// to be booked ("BookReturnedTime", with their record's time). It keeps the sheet's
// form, and keeps a form whose booking is still on its way after its sheet closed until
// that ends. When the sheet closes the keyboard focus goes back where it was, or to the
// timer, never to the top of the window.
class SidebarView : public QWidget {
    Q_OBJECT

public:
    static constexpr int columnWidth = 220;
    static constexpr int avatarSize = 30;

    using SheetFactory = std::function<QDialog*(QWidget* parent)>;

    // The account is read from the process's account store.
    SidebarView(ApplicationViewModel& viewModel, TimerViewModel& timer, std::optional<QUuid> providerId,
                QWidget* parent = nullptr);
    SidebarView(ApplicationViewModel& viewModel, TimerViewModel& timer, std::optional<QUuid> providerId,
                ProviderStore& store, QWidget* parent = nullptr);
    ~SidebarView() override;

    // What opens when the account header is clicked (the account switcher); without
    // one the click only flips `isProviderSelectorShown`.
    void setProviderSelectorFactory(SheetFactory factory) { m_providerSelectorFactory = std::move(factory); }
    bool isProviderSelectorShown() const { return m_providerSelector; }
    // A click on the account header.
    void toggleProviderSelector();

    // The form of the booking sheet while it is shown.
    AbstractWorkLogForm* workLogForm() const { return m_workLogForm.get(); }
    BookTimeView* bookingSheet() const { return m_sheet; }
    // The alert for a booking that failed after its sheet had closed, while shown.
    QMessageBox* lateBookingFailureAlert() const { return m_lateFailureAlert; }
    // The alert waits for the refusal to be on the booking's record, whose words it says.
    bool m_lateFailureWaits = false;

    // Parts, for tests and for the window around it.
    QWidget* accountHeader() const { return m_header; }
    AvatarView* avatarView() const { return m_avatar; }
    QLabel* userNameLabel() const { return m_userName; }
    QLabel* accountNameLabel() const { return m_accountName; }
    NavigationLinkButton* calendarButton() const { return m_calendar; }
    QListView* projectList() const { return m_list; }
    ProjectListModel* projectModel() const { return m_model; }
    // Which of "Loading...", the list, "No Projects" and the failure is shown.
    QWidget* projectsContent() const;
    QWidget* loadingRow() const { return m_loadingRow; }
    QLabel* noProjectsLabel() const { return m_noProjects; }
    // Shown in place of "No Projects" when the projects could not be loaded.
    LoadFailureView* projectsFailure() const { return m_projectsFailure; }
    TimerBlockView* timerBlock() const { return m_timerBlock; }

    // The context menu entry of a project row.
    void toggleFavorite(int row);

signals:
    void providerSelectorShownChanged(bool shown);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void build();
    void showAccount();
    void showProjectsContent();
    void timerCanceled();
    void addManualWorkLog(const Notification& notification);
    void bookReturnedTime(const Notification& notification);
    void bookAgainOnTimer(const Notification& notification);
    void present(std::unique_ptr<AbstractWorkLogForm> form, BookTimeView::Source source,
                 const std::optional<QUuid>& replacing = std::nullopt);
    void showLateBookingFailure(const std::optional<QUuid>& record);
    // Where the focus goes once a sheet closed: where it was when the sheet opened, or the
    // timer.
    void restoreFocus();
    // Lets go of a form once nothing of it is on its way; until then it lives on with the
    // booking records (beyond this window), so a booking's answer still reaches its record.
    void keepUntilAnswered(AbstractWorkLogForm* form);
    void sheetDismissed(BookTimeView* sheet);
    void setProviderSelector(bool shown);

    QPointer<ApplicationViewModel> m_viewModel;
    QPointer<TimerViewModel> m_timer;
    FetchProvider* m_provider = nullptr;

    QWidget* m_header = nullptr;
    AvatarView* m_avatar = nullptr;
    QLabel* m_userName = nullptr;
    QLabel* m_accountName = nullptr;
    NavigationLinkButton* m_calendar = nullptr;
    QStackedWidget* m_projects = nullptr;
    QWidget* m_loadingRow = nullptr;
    ActivityIndicator* m_loadingIndicator = nullptr;
    QLabel* m_noProjects = nullptr;
    LoadFailureView* m_projectsFailure = nullptr;
    QListView* m_list = nullptr;
    ProjectListModel* m_model = nullptr;
    TimerBlockView* m_timerBlock = nullptr;

    bool m_providerSelector = false;
    SheetFactory m_providerSelectorFactory;
    QPointer<QDialog> m_providerSelectorSheet;

    std::unique_ptr<AbstractWorkLogForm> m_workLogForm;
    QPointer<BookTimeView> m_sheet;
    QPointer<QMessageBox> m_lateFailureAlert;
    Cancellable m_timerCanceledObserver;
    Cancellable m_addManualWorkLogObserver;
    Cancellable m_bookReturnedObserver;
    Cancellable m_bookAgainObserver;
    QPointer<QWidget> m_focusBeforeSheet;
};

} // namespace velmora
