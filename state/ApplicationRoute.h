#pragma once

#include "core/model/Project.h"

#include <QMetaType>

#include <cstddef>
#include <functional>
#include <optional>

namespace velmora {

// What the main window's detail pane shows: the task view of one project, or the
// calendar. Routes are values: two project routes are equal when their projects are
// equal in every field, so selecting the same project again changes nothing.
class ApplicationRoute {
public:
    enum class Kind { calendar, project };

    // The calendar.
    ApplicationRoute() = default;
    static ApplicationRoute calendar() { return ApplicationRoute(); }
    static ApplicationRoute forProject(Project project) { return ApplicationRoute(std::move(project)); }

    Kind kind() const { return m_project ? Kind::project : Kind::calendar; }
    bool isCalendar() const { return !m_project; }
    // The project shown; absent for the calendar.
    const std::optional<Project>& project() const { return m_project; }

    friend bool operator==(const ApplicationRoute&, const ApplicationRoute&) = default;

private:
    explicit ApplicationRoute(Project project) : m_project(std::move(project)) {}

    std::optional<Project> m_project;
};

// Consistent with equality: the calendar, or the project in all its fields.
std::size_t qHash(const ApplicationRoute& route, std::size_t seed = 0);

} // namespace velmora

template <> struct std::hash<velmora::ApplicationRoute> {
    std::size_t operator()(const velmora::ApplicationRoute& route) const { return velmora::qHash(route); }
};

Q_DECLARE_METATYPE(velmora::ApplicationRoute)
