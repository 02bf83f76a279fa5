#pragma once

#include "core/model/Issue.h"

#include <QString>

#include <nlohmann/json_fwd.hpp>

#include <cstddef>
#include <functional>
#include <vector>

namespace velmora {

// A project of the tracker. Compared and hashed whole, task list included.
//
// Coded form: "id", "shortName", "name", "configuration" (its four switches by
// name), "tasks" (an array of tasks).
struct Project {
    // What the tracker supports for this project; the connector sets it, the state
    // objects and views obey it.
    struct Configuration {
        bool timeTrackingEnabled = false;
        bool assigneeFilterEnabled = false;
        bool stateFilterEnabled = false;
        bool searchEnabled = false;

        friend bool operator==(const Configuration&, const Configuration&) = default;
    };

    QString id;
    // The project's short key as the tracker shows it.
    QString shortName;
    QString name;
    Configuration configuration;
    // Connectors create projects with no tasks.
    std::vector<Issue> tasks;

    friend bool operator==(const Project&, const Project&) = default;
};

std::size_t qHash(const Project::Configuration& configuration, std::size_t seed = 0);
std::size_t qHash(const Project& project, std::size_t seed = 0);

void to_json(nlohmann::json& json, const Project::Configuration& configuration);
void to_json(nlohmann::ordered_json& json, const Project::Configuration& configuration);
void from_json(const nlohmann::json& json, Project::Configuration& configuration);
void from_json(const nlohmann::ordered_json& json, Project::Configuration& configuration);

void to_json(nlohmann::json& json, const Project& project);
void to_json(nlohmann::ordered_json& json, const Project& project);
void from_json(const nlohmann::json& json, Project& project);
void from_json(const nlohmann::ordered_json& json, Project& project);

} // namespace velmora

template <> struct std::hash<velmora::Project::Configuration> {
    std::size_t operator()(const velmora::Project::Configuration& c) const { return velmora::qHash(c); }
};

template <> struct std::hash<velmora::Project> {
    std::size_t operator()(const velmora::Project& project) const { return velmora::qHash(project); }
};
