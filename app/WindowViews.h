#pragma once

#include <QString>

#include <cstdint>
#include <functional>

class QWidget;

namespace velmora {

class ApplicationViewModel;
class CalendarViewModel;
class ProjectViewModel;
class SettingsViewModel;
class TimerViewModel;

// Makes the content of the shell's windows. The window controllers decide when a
// pane is made and what it is made with; the views come from here, so a view joins
// the app by changing only standard(). Each maker returns a new widget that the
// window takes (and the view model passed with ownership becomes the widget's child).
struct WindowViews {
    // The main window's sidebar, for the window's account and timer.
    std::function<QWidget*(ApplicationViewModel& application, TimerViewModel& timer)> sidebar;
    // The detail pane of a project route; it takes `project` (a new model).
    std::function<QWidget*(ProjectViewModel* project, TimerViewModel& timer)> projectView;
    // The detail pane of the calendar route; it takes `calendar` (a new model).
    std::function<QWidget*(CalendarViewModel* calendar)> calendarView;
    // The whole content while the account is rate-limited; `retry` brings back the
    // normal content.
    std::function<QWidget*(std::int64_t delay, std::function<void()> retry)> rateLimitView;
    // The welcome window's content.
    std::function<QWidget*()> welcomeView;
    // The settings window's Accounts page; empty: an empty page.
    std::function<QWidget*(SettingsViewModel& model)> accountsPage;

    // The app's views.
    static WindowViews standard();
};

} // namespace velmora
