#include "app/WindowViews.h"

#include "state/ApplicationViewModel.h"
#include "state/CalendarViewModel.h"
#include "state/ProjectViewModel.h"
#include "state/TimerViewModel.h"
#include "views/main/AssetNames.h"
#include "views/main/ProjectViewController.h"
#include "views/main/SidebarView.h"
#include "views/main/ToolbarDelegate.h"
#include "views/main/ToolbarHost.h"
#include "views/main/ToolbarItemIdentifier.h"

#include <QAction>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QToolBar>
#include <QVBoxLayout>

// The panes below stand in for the main window's views until each is built: they show
// what the pane is for and keep the route and the toolbar working end to end.

namespace velmora {

namespace {

QLabel* centredLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setAlignment(Qt::AlignCenter);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    return label;
}

class PlaceholderCalendarView : public QWidget, public ToolbarDelegate {
public:
    explicit PlaceholderCalendarView(CalendarViewModel* model) : m_model(model) {
        setObjectName(QStringLiteral("CalendarView"));
        auto* layout = new QVBoxLayout(this);
        layout->addWidget(centredLabel(QStringLiteral("Calendar"), this));
    }

    QStringList toolbarDefaultItemIdentifiers() override {
        return {ToolbarItemIdentifier::previousDay, ToolbarItemIdentifier::upcomingDay};
    }
    void addToolbarItem(QToolBar& toolbar, const QString& identifier) override {
        const bool previous = identifier == ToolbarItemIdentifier::previousDay;
        if (!previous && identifier != ToolbarItemIdentifier::upcomingDay) {
            return;
        }
        QAction* action = toolbar.addAction(
            Assets::icon(previous ? QStringLiteral("chevron.left") : QStringLiteral("chevron.right")),
            QString());
        action->setObjectName(identifier);
        QPointer<CalendarViewModel> model(m_model);
        connect(action, &QAction::triggered, this, [model, previous] {
            if (model) {
                model->move(previous ? -1 : 1);
            }
        });
    }

private:
    QPointer<CalendarViewModel> m_model;
};

QWidget* placeholderRateLimit(std::int64_t delay, std::function<void()> retry) {
    auto* view = new QWidget;
    view->setObjectName(QStringLiteral("RateLimitView"));
    auto* layout = new QVBoxLayout(view);
    layout->addStretch();
    layout->addWidget(
        centredLabel(QStringLiteral("Too many requests. Try again in %1 seconds.").arg(delay), view));
    auto* button = new QPushButton(QStringLiteral("Bring me back"), view);
    QObject::connect(button, &QPushButton::clicked, view, [retry] { retry(); });
    layout->addWidget(button, 0, Qt::AlignHCenter);
    layout->addStretch();
    return view;
}

QWidget* placeholderWelcome() {
    auto* view = new QWidget;
    view->setObjectName(QStringLiteral("WelcomeView"));
    auto* layout = new QVBoxLayout(view);
    layout->addStretch();
    auto* logo = new QLabel(view);
    logo->setPixmap(Assets::pixmap(QStringLiteral("Velmora"), QSize(96, 96)));
    logo->setAlignment(Qt::AlignCenter);
    layout->addWidget(logo);
    auto* title = centredLabel(QStringLiteral("Welcome to Velmora"), view);
    QFont font = title->font();
    font.setPointSizeF(font.pointSizeF() * 1.8);
    font.setBold(true);
    title->setFont(font);
    layout->addWidget(title);
    layout->addWidget(
        centredLabel(QStringLiteral("Track your time and book it into Jira, Asana and YouTrack."), view));
    layout->addStretch();
    return view;
}

} // namespace

WindowViews WindowViews::standard() {
    WindowViews views;
    views.sidebar = [](ApplicationViewModel& application, TimerViewModel& timer) -> QWidget* {
        return new SidebarView(application, timer, providerId(application.provider()));
    };
    views.projectView = [](ProjectViewModel* project, TimerViewModel& timer) -> QWidget* {
        return new ProjectViewController(*project, timer);
    };
    views.calendarView = [](CalendarViewModel* calendar) -> QWidget* {
        return new PlaceholderCalendarView(calendar);
    };
    views.rateLimitView = placeholderRateLimit;
    views.welcomeView = placeholderWelcome;
    return views;
}

} // namespace velmora
