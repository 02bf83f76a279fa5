#include "app/WindowViews.h"

#include "state/ApplicationViewModel.h"
#include "state/CalendarViewModel.h"
#include "state/ProjectViewModel.h"
#include "state/TimerViewModel.h"
#include "views/main/AssetNames.h"
#include "views/main/CalendarViewController.h"
#include "views/main/ProjectViewController.h"
#include "views/main/ProviderSelectorView.h"
#include "views/main/RateLimitViewController.h"
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
        auto* sidebar = new SidebarView(application, timer, providerId(application.provider()));
        sidebar->setProviderSelectorFactory([](QWidget* parent) { return new ProviderSelectorView(parent); });
        return sidebar;
    };
    views.projectView = [](ProjectViewModel* project, TimerViewModel& timer) -> QWidget* {
        return new ProjectViewController(*project, timer);
    };
    views.calendarView = [](CalendarViewModel* calendar) -> QWidget* {
        return new CalendarViewController(calendar);
    };
    views.rateLimitView = [](std::int64_t delay, std::function<void()> retry) -> QWidget* {
        return new RateLimitViewController(delay, std::move(retry));
    };
    views.welcomeView = placeholderWelcome;
    return views;
}

} // namespace velmora
