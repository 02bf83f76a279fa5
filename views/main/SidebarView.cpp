#include "views/main/SidebarView.h"

#include "core/model/AnyProvider.h"
#include "core/model/NotificationNames.h"
#include "core/storage/FetchProvider.h"
#include "platform/notifications/NotificationCenter.h"
#include "state/ApplicationViewModel.h"
#include "state/BookingRecords.h"
#include "state/TimerViewModel.h"
#include "views/main/ActivityIndicator.h"
#include "views/main/Appearance.h"
#include "views/main/AvatarView.h"
#include "views/main/BookTimeView.h"
#include "views/main/LoadFailureView.h"
#include "views/main/NavigationLinkButton.h"
#include "views/main/PlainText.h"
#include "views/main/ProjectLinkView.h"
#include "views/main/ProjectListModel.h"
#include "views/main/ReadableAlert.h"
#include "views/main/SystemSymbol.h"
#include "views/main/TimerBlockView.h"

#include <QDialog>
#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QStackedWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <memory>

namespace velmora {

namespace {
QLabel* secondaryLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(parent);
    setPlainText(label, text);
    QPalette colors = label->palette();
    colors.setColor(QPalette::WindowText, Appearance::secondary(colors));
    label->setPalette(colors);
    return label;
}
} // namespace

SidebarView::SidebarView(ApplicationViewModel& viewModel, TimerViewModel& timer,
                         std::optional<QUuid> providerId, QWidget* parent)
    : QWidget(parent), m_viewModel(&viewModel), m_timer(&timer), m_provider(new FetchProvider(this)) {
    m_provider->setProviderId(providerId);
    build();
}

SidebarView::SidebarView(ApplicationViewModel& viewModel, TimerViewModel& timer,
                         std::optional<QUuid> providerId, ProviderStore& store, QWidget* parent)
    : QWidget(parent), m_viewModel(&viewModel), m_timer(&timer), m_provider(new FetchProvider(store, this)) {
    m_provider->setProviderId(providerId);
    build();
}

SidebarView::~SidebarView() {
    // The sheet belongs to the window; it must not outlive the form it shows.
    if (m_sheet) {
        delete m_sheet.data();
    }
    // A booking still on its way when the window goes (its account deleted, say) keeps its
    // answer: the form lives on until its request ends.
    if (m_workLogForm) {
        keepUntilAnswered(m_workLogForm.release());
    }
}

void SidebarView::keepUntilAnswered(AbstractWorkLogForm* form) {
    BookingRecords* records = m_timer ? m_timer->bookings() : nullptr;
    if (!form->networkRequestInProgress() && !form->isBookingDeferred()) {
        form->deleteLater();
        return;
    }
    // The records outlive every window: the answer reaches the booking's record through them.
    form->setParent(records ? static_cast<QObject*>(records) : static_cast<QObject*>(window()));
    connect(form, &AbstractWorkLogForm::networkRequestInProgressChanged, form, [form](bool inProgress) {
        if (!inProgress) {
            form->deleteLater();
        }
    });
}

void SidebarView::build() {
    setFixedWidth(columnWidth);
    auto* column = new QVBoxLayout(this);
    // Tight enough that a short window (a small screen at scale 2) keeps two projects and the time.
    column->setContentsMargins(0, 6, 0, 6);
    column->setSpacing(4);

    // The account header.
    m_header = new QWidget(this);
    m_header->setCursor(Qt::PointingHandCursor);
    m_header->installEventFilter(this);
    // Tab reaches the switcher too; Return or Space opens it.
    m_header->setFocusPolicy(Qt::TabFocus);
    m_header->setAccessibleName(tr("Switch account"));
    auto* header = new QHBoxLayout(m_header);
    header->setContentsMargins(10, 2, 10, 2);
    m_avatar = new AvatarView(std::nullopt, avatarSize, m_header);
    header->addWidget(m_avatar);
    auto* names = new QVBoxLayout;
    names->setSpacing(2);
    m_userName = new QLabel(m_header);
    m_userName->setTextFormat(Qt::PlainText);
    m_accountName = secondaryLabel(QString(), m_header);
    m_accountName->setFont(Appearance::scaledFont(m_accountName->font(), 0.85));
    names->addWidget(m_userName);
    names->addWidget(m_accountName);
    header->addLayout(names, 1);
    column->addWidget(m_header);

    // The list: the calendar entry, a gap, then the projects.
    auto* list = new QVBoxLayout;
    list->setContentsMargins(8, 8, 8, 0);
    list->setSpacing(0);
    QPointer<ApplicationViewModel> viewModel = m_viewModel;
    m_calendar = new NavigationLinkButton(
        Binding<bool>([viewModel] { return viewModel && viewModel->route().isCalendar(); },
                      // Whatever is written, a click shows the calendar.
                      [viewModel](const bool&) {
                          if (viewModel) {
                              viewModel->setRoute(ApplicationRoute::calendar());
                          }
                      }),
        tr("Calendar"), SystemSymbol::Name::calendar, this);
    list->addWidget(m_calendar);
    // A gap that gives way first when the window is short.
    list->addItem(new QSpacerItem(0, 20, QSizePolicy::Minimum, QSizePolicy::Preferred));
    auto* sectionHeader = secondaryLabel(tr("Projects"), this);
    QFont sectionFont = Appearance::scaledFont(sectionHeader->font(), 0.85);
    sectionFont.setBold(true);
    sectionHeader->setFont(sectionFont);
    sectionHeader->setContentsMargins(6, 0, 0, 4);
    list->addWidget(sectionHeader);

    m_projects = new QStackedWidget(this);
    m_loadingRow = new QWidget(m_projects);
    auto* loading = new QHBoxLayout(m_loadingRow);
    loading->setContentsMargins(6, 4, 6, 4);
    loading->setSpacing(8);
    m_loadingIndicator = new ActivityIndicator(12, m_loadingRow);
    loading->addWidget(m_loadingIndicator, 0, Qt::AlignTop);
    loading->addWidget(new QLabel(tr("Loading..."), m_loadingRow), 1, Qt::AlignTop);
    auto* loadingPage = new QWidget(m_projects);
    auto* loadingPageLayout = new QVBoxLayout(loadingPage);
    loadingPageLayout->setContentsMargins(0, 0, 0, 0);
    loadingPageLayout->addWidget(m_loadingRow);
    loadingPageLayout->addStretch(1);

    m_list = new QListView(m_projects);
    m_model = new ProjectListModel(*m_viewModel, *m_timer, this);
    m_list->setModel(m_model);
    m_list->setItemDelegate(new ProjectLinkView(m_list));
    // The rows draw their own selection from the route; the view keeps none.
    m_list->setSelectionMode(QAbstractItemView::NoSelection);
    // Tab reaches the list: the arrows move through it, Return and Space choose.
    m_list->setFocusPolicy(Qt::StrongFocus);
    m_list->installEventFilter(this);
    m_list->setFrameShape(QFrame::NoFrame);
    m_list->setUniformItemSizes(true);
    m_list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_list->setContextMenuPolicy(Qt::CustomContextMenu);
    m_list->viewport()->setAutoFillBackground(false);
    m_list->setStyleSheet(QStringLiteral("QListView { background: transparent; }"));

    m_noProjects = new QLabel(tr("No Projects"), m_projects);
    m_noProjects->setContentsMargins(6, 4, 6, 4);
    m_noProjects->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    m_projects->addWidget(loadingPage);
    m_projects->addWidget(m_list);
    m_projects->addWidget(m_noProjects);
    m_projectsFailure =
        new LoadFailureView(LoadFailureView::Style::page, tr("Couldn't load the projects"), m_projects);
    m_projectsFailure->setObjectName(QStringLiteral("ProjectsLoadFailure"));
    // The narrow column takes the headline at the list's size, wrapped.
    QFont headline = m_projectsFailure->headlineLabel()->font();
    headline.setPointSizeF(font().pointSizeF());
    m_projectsFailure->headlineLabel()->setFont(headline);
    m_projectsFailure->headlineLabel()->setWordWrap(true);
    m_projectsFailure->explanationLabel()->setFixedWidth(columnWidth - 40);
    connect(m_projectsFailure, &LoadFailureView::retryRequested, this, [this] {
        if (m_viewModel) {
            m_viewModel->loadProjects();
        }
    });
    m_projects->addWidget(m_projectsFailure);
    // However short the window, two projects show (the failure's page, the tallest, would
    // otherwise hold the column's least height, and crush the rest when it cannot).
    const int row = std::max(fontMetrics().height(), 16) +
                    static_cast<int>(std::ceil(2 * NavigationLinkButton::verticalPadding));
    m_projects->setMinimumHeight(2 * row + 2 * m_list->frameWidth());
    list->addWidget(m_projects, 1);
    column->addLayout(list, 1);

    auto* timerRow = new QHBoxLayout;
    timerRow->setContentsMargins(10, 0, 10, 0);
    m_timerBlock = new TimerBlockView(*m_timer, this);
    timerRow->addWidget(m_timerBlock);
    column->addLayout(timerRow);

    connect(m_list, &QListView::clicked, this, [this](const QModelIndex& index) {
        if (index.isValid()) {
            const auto isActive = m_model->isActive(index.row());
            isActive.set(!isActive.get());
        }
    });
    connect(m_list, &QListView::customContextMenuRequested, this, [this](const QPoint& at) {
        const QModelIndex index = m_list->indexAt(at);
        if (!index.isValid()) {
            return;
        }
        const int row = index.row();
        QMenu menu(this);
        menu.addAction(SystemSymbol::icon(SystemSymbol::Name::pinFill, Appearance::primary(palette())),
                       ProjectLinkView::favoriteActionText(m_model->isStarred(row).get()), this,
                       [this, row] { toggleFavorite(row); });
        menu.exec(m_list->viewport()->mapToGlobal(at));
    });
    connect(m_viewModel, &ApplicationViewModel::routeChanged, m_calendar, qOverload<>(&QWidget::update));
    connect(m_viewModel, &ApplicationViewModel::loadingProjectsChanged, this,
            &SidebarView::showProjectsContent);
    connect(m_viewModel, &ApplicationViewModel::projectsChanged, this, &SidebarView::showProjectsContent);
    connect(m_viewModel, &ApplicationViewModel::projectsLoadErrorChanged, this,
            &SidebarView::showProjectsContent);
    connect(m_provider, &FetchProvider::providerChanged, this, &SidebarView::showAccount);

    auto& center = NotificationCenter::defaultCenter();
    m_timerCanceledObserver = center.addObserver(QString(NotificationName::timerCanceled), this,
                                                 [this](const Notification&) { timerCanceled(); });
    m_addManualWorkLogObserver =
        center.addObserver(QString(NotificationName::addManualWorkLog), this,
                           [this](const Notification& notification) { addManualWorkLog(notification); });
    m_bookReturnedObserver =
        center.addObserver(QString(NotificationName::bookReturnedTime), this,
                           [this](const Notification& notification) { bookReturnedTime(notification); });
    m_bookAgainObserver =
        center.addObserver(QString(NotificationName::bookAgainOnTimer), this,
                           [this](const Notification& notification) { bookAgainOnTimer(notification); });

    showAccount();
    showProjectsContent();
}

QWidget* SidebarView::projectsContent() const {
    const QWidget* page = m_projects->currentWidget();
    if (page == m_list || page == m_noProjects || page == m_projectsFailure) {
        return m_projects->currentWidget();
    }
    return m_loadingRow;
}

void SidebarView::showAccount() {
    const auto& provider = m_provider->provider();
    if (!provider) {
        // The account's row is gone (the window is about to be replaced).
        m_userName->clear();
        m_accountName->clear();
        m_avatar->setUrl(std::nullopt);
        return;
    }
    const auto& user = providerUser(*provider);
    const QString accountName = providerName(*provider);
    setPlainText(m_userName, user ? user->name : accountName);
    setPlainText(m_accountName, accountName);
    const QString avatar = user ? user->avatar : QString();
    m_avatar->setUrl(AvatarView::remoteUrl(avatar));
}

void SidebarView::showProjectsContent() {
    if (!m_viewModel) {
        return;
    }
    // Loading wins even while the old projects are still listed.
    if (m_viewModel->loadingProjects()) {
        m_projects->setCurrentIndex(0);
        m_loadingIndicator->setAnimating(true);
        return;
    }
    m_loadingIndicator->setAnimating(false);
    // An account whose projects could not be loaded is not an account without any.
    const auto& error = m_viewModel->projectsLoadError();
    if (error && m_viewModel->projects().empty()) {
        m_projectsFailure->setError(*error);
        m_projects->setCurrentWidget(m_projectsFailure);
        return;
    }
    m_projects->setCurrentWidget(m_viewModel->projects().empty() ? static_cast<QWidget*>(m_noProjects)
                                                                 : static_cast<QWidget*>(m_list));
}

void SidebarView::toggleFavorite(int row) {
    if (row < 0 || row >= m_model->rowCount()) {
        return;
    }
    const auto isStarred = m_model->isStarred(row);
    isStarred.set(!isStarred.get());
}

void SidebarView::toggleProviderSelector() {
    setProviderSelector(!m_providerSelector);
}

void SidebarView::setProviderSelector(bool shown) {
    if (m_providerSelector == shown) {
        return;
    }
    m_providerSelector = shown;
    emit providerSelectorShownChanged(shown);
    if (shown && m_providerSelectorFactory && !m_providerSelectorSheet) {
        m_providerSelectorSheet = m_providerSelectorFactory(window());
        if (m_providerSelectorSheet) {
            m_providerSelectorSheet->setAttribute(Qt::WA_DeleteOnClose);
            m_providerSelectorSheet->setWindowModality(Qt::WindowModal);
            connect(m_providerSelectorSheet, &QDialog::finished, this,
                    [this] { setProviderSelector(false); });
            m_providerSelectorSheet->open();
        }
    } else if (!shown && m_providerSelectorSheet) {
        m_providerSelectorSheet->close();
    }
}

bool SidebarView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_header && event->type() == QEvent::MouseButtonRelease) {
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::LeftButton && m_header->rect().contains(mouse->position().toPoint())) {
            toggleProviderSelector();
            return true;
        }
    }
    if (watched == m_header) {
        switch (event->type()) {
        case QEvent::KeyPress: {
            const auto* key = static_cast<QKeyEvent*>(event);
            if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter ||
                 key->key() == Qt::Key_Space) &&
                !key->isAutoRepeat()) {
                toggleProviderSelector();
                return true;
            }
            break;
        }
        case QEvent::FocusIn:
        case QEvent::FocusOut:
            m_header->update();
            break;
        case QEvent::Paint:
            // The header paints nothing of its own: the ring goes under its avatar and
            // names, around them.
            if (m_header->hasFocus()) {
                QPainter painter(m_header);
                NavigationLinkButton::paintFocusRing(painter, QRectF(m_header->rect()).adjusted(6, 0, -6, 0),
                                                     m_header->palette());
            }
            break;
        default:
            break;
        }
    }
    if (watched == m_list && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        const QModelIndex current = m_list->currentIndex();
        if ((key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space) && current.isValid()) {
            emit m_list->clicked(current);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void SidebarView::timerCanceled() {
    if (!m_timer || !m_viewModel) {
        return;
    }
    const auto& project = m_timer->project();
    const auto& task = m_timer->task();
    if (!project || !task) {
        return;
    }
    present(m_viewModel->makeWorkLogForm(*project, *task, m_timer->elapsed()), BookTimeView::Source::timer);
}

void SidebarView::addManualWorkLog(const Notification& notification) {
    if (!m_viewModel) {
        return;
    }
    const auto* task = notification.objectAs<Issue>();
    const auto& route = m_viewModel->route();
    if (!task || !route.project()) {
        return;
    }
    // Time entered by hand: the timer, whatever it holds, is none of this sheet's business.
    present(m_viewModel->makeWorkLogForm(*route.project(), *task, 0), BookTimeView::Source::manual);
}

void SidebarView::bookReturnedTime(const Notification& notification) {
    BookingRecords* records = m_timer ? m_timer->bookings() : nullptr;
    if (!records || !m_viewModel) {
        return;
    }
    // Its own task, or the task the user selected for time of no account.
    std::optional<QUuid> id;
    std::optional<Project> project;
    std::optional<Issue> task;
    if (const auto* own = notification.objectAs<QUuid>()) {
        id = *own;
    } else if (const auto* onTask = notification.objectAs<ReturnedTimeOnTask>()) {
        id = onTask->record;
        project = onTask->project;
        task = onTask->task;
    }
    const auto record = id ? records->record(*id) : std::nullopt;
    if (!record || record->state != BookingRecord::State::returned) {
        return;
    }
    if (!task) {
        if (record->account != m_timer->key() || !record->project) {
            return;
        }
        project = record->project;
        task = record->task;
    } else if (!record->account.isEmpty() && record->account != m_timer->key()) {
        return;
    }
    auto form = m_viewModel->makeWorkLogForm(*project, *task, static_cast<double>(record->booking.seconds));
    if (form) {
        // What was typed for it the first time goes again with the time.
        form->setDraftDescription(record->booking.description);
    }
    present(std::move(form), BookTimeView::Source::manual, record->id);
}

void SidebarView::bookAgainOnTimer(const Notification& notification) {
    const auto* id = notification.objectAs<QUuid>();
    BookingRecords* records = m_timer ? m_timer->bookings() : nullptr;
    const auto record = id && records ? records->record(*id) : std::nullopt;
    if (!record || record->account != m_timer->key() || !m_timer->project() || !m_timer->task() ||
        !m_viewModel) {
        return;
    }
    // The time is back on the timer: its sheet books it, with what was typed the first time.
    m_timer->pause();
    auto form = m_viewModel->makeWorkLogForm(*m_timer->project(), *m_timer->task(), m_timer->elapsed());
    if (form) {
        form->setDraftDescription(record->booking.description);
    }
    present(std::move(form), BookTimeView::Source::timer);
}

void SidebarView::present(std::unique_ptr<AbstractWorkLogForm> form, BookTimeView::Source source,
                          const std::optional<QUuid>& replacing) {
    if (!form) {
        return;
    }
    // A new form replaces the sheet of the one before.
    if (m_sheet) {
        m_sheet->done(QDialog::Rejected);
    }
    if (QWidget* focused = window()->focusWidget(); focused && !qobject_cast<QDialog*>(focused->window())) {
        m_focusBeforeSheet = focused;
    }
    m_workLogForm = std::move(form);
    auto* sheet = new BookTimeView(*m_workLogForm, *m_timer, source, window());
    if (replacing) {
        sheet->setReplacing(*replacing);
    }
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    m_sheet = sheet;
    connect(sheet, &BookTimeView::dismissed, this, [this, sheet] { sheetDismissed(sheet); });
    sheet->open();
}

void SidebarView::sheetDismissed(BookTimeView* sheet) {
    if (!m_workLogForm || sheet->form() != m_workLogForm.get()) {
        return;
    }
    if (m_sheet == sheet) {
        m_sheet = nullptr;
    }
    // Once the window has taken the focus back from the sheet.
    QMetaObject::invokeMethod(this, &SidebarView::restoreFocus, Qt::QueuedConnection);
    const std::optional<QUuid> record = sheet->bookingRecord();
    // The form goes once nothing of it is on its way: a booking sent before the sheet
    // closed still ends (and announces itself) as it would have. It is kept beyond the
    // sidebar and the window: the window's content may be swapped (for the rate-limit
    // screen), or the window close with its account, while the booking is on its way.
    AbstractWorkLogForm* form = m_workLogForm.release();
    if (form->networkRequestInProgress()) {
        // Nobody else would tell the user that it failed: the time it was to book is
        // still on the timer, so they can book it again.
        connect(form, &AbstractWorkLogForm::errorOccurredChanged, this, [this, record](bool occurred) {
            if (occurred) {
                showLateBookingFailure(record);
            }
        });
    }
    keepUntilAnswered(form);
}

void SidebarView::restoreFocus() {
    if (m_sheet || !isVisible()) {
        return;
    }
    QWidget* focused = window()->focusWidget();
    // Where the focus was, if it is still there to take it; otherwise the timer, never
    // the account header at the top of the chain.
    if (m_focusBeforeSheet && m_focusBeforeSheet->isVisible() && m_focusBeforeSheet->isEnabled()) {
        if (focused != m_focusBeforeSheet) {
            m_focusBeforeSheet->setFocus(Qt::OtherFocusReason);
        }
        return;
    }
    if (focused && focused != m_header && focused != window()) {
        return;
    }
    for (QWidget* candidate : m_timerBlock->findChildren<QWidget*>()) {
        if ((candidate->focusPolicy() & Qt::TabFocus) && candidate->isVisible() && candidate->isEnabled()) {
            candidate->setFocus(Qt::OtherFocusReason);
            return;
        }
    }
    m_list->setFocus(Qt::OtherFocusReason);
}

void SidebarView::showLateBookingFailure(const std::optional<QUuid>& id) {
    if (m_lateFailureAlert) {
        return;
    }
    BookingRecords* records = m_timer ? m_timer->bookings() : nullptr;
    const auto record = records && id ? records->record(*id) : std::nullopt;
    if (record && record->isOpen()) {
        // The form heard of the failure before the booking's record took it in: where the time
        // went (back on the timer, or waiting here) is the record's to say once it has.
        if (!m_lateFailureWaits) {
            m_lateFailureWaits = true;
            auto told = std::make_shared<QMetaObject::Connection>();
            *told = connect(records, &BookingRecords::recordChanged, this,
                            [this, records, id, told](const QUuid& changed) {
                                const auto now = records->record(*id);
                                if (changed != *id || (now && now->isOpen())) {
                                    return;
                                }
                                disconnect(*told);
                                m_lateFailureWaits = false;
                                showLateBookingFailure(id);
                            });
        }
        return;
    }
    const QString title = tr("The work log could not be saved.");
    m_lateFailureAlert = new QMessageBox(QMessageBox::Warning, title, title, QMessageBox::Ok, window());
    m_lateFailureAlert->setTextFormat(Qt::PlainText);
    m_lateFailureAlert->setInformativeText(
        record && record->state == BookingRecord::State::returned
            ? tr("The timer was on another task when the time came back, so the time waits in the main "
                 "window, to be booked or discarded.")
            : tr("The time is back on the timer, so it can be booked again."));
    m_lateFailureAlert->setAttribute(Qt::WA_DeleteOnClose);
    m_lateFailureAlert->setWindowModality(Qt::WindowModal);
    ReadableAlert::prepare(*m_lateFailureAlert);
    m_lateFailureAlert->open();
}

} // namespace velmora
