#include "app/WindowViews.h"

#include "state/ApplicationViewModel.h"
#include "state/CalendarViewModel.h"
#include "state/ProjectViewModel.h"
#include "state/TimerViewModel.h"
#include "views/settings/AccountsSettingsView.h"
#include "views/settings/WelcomeView.h"
#include "views/main/AssetNames.h"
#include "views/main/CalendarViewController.h"
#include "views/main/ProjectViewController.h"
#include "views/main/ProviderSelectorView.h"
#include "views/main/RateLimitViewController.h"
#include "views/main/SidebarView.h"
#include "views/main/ToolbarDelegate.h"
#include "views/main/ToolbarHost.h"
#include "views/main/ToolbarItemIdentifier.h"

namespace velmora {

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
    views.welcomeView = []() -> QWidget* { return new WelcomeView; };
    views.accountsPage = [](SettingsViewModel& model) -> QWidget* { return new AccountsSettingsView(model); };
    return views;
}

} // namespace velmora
