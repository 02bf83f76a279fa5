#include "core/model/Project.h"

#include "core/model/Coding.h"
#include "core/model/Hashing.h"

#include <nlohmann/json.hpp>

namespace velmora {

namespace {
template <typename Json> void encode(Json& json, const Project::Configuration& c) {
    json = Json::object();
    json["timeTrackingEnabled"] = c.timeTrackingEnabled;
    json["assigneeFilterEnabled"] = c.assigneeFilterEnabled;
    json["stateFilterEnabled"] = c.stateFilterEnabled;
    json["searchEnabled"] = c.searchEnabled;
}

template <typename Json> void decode(const Json& json, Project::Configuration& c) {
    c = Project::Configuration{coding::requiredBool(json, "timeTrackingEnabled"),
                               coding::requiredBool(json, "assigneeFilterEnabled"),
                               coding::requiredBool(json, "stateFilterEnabled"),
                               coding::requiredBool(json, "searchEnabled")};
}

template <typename Json> void encode(Json& json, const Project& project) {
    json = Json::object();
    json["id"] = coding::text(project.id);
    json["shortName"] = coding::text(project.shortName);
    json["name"] = coding::text(project.name);
    json["configuration"] = project.configuration;
    Json tasks = Json::array();
    for (const auto& task : project.tasks) {
        tasks.push_back(task);
    }
    json["tasks"] = std::move(tasks);
}

template <typename Json> void decode(const Json& json, Project& project) {
    Project result;
    result.id = coding::requiredText(json, "id");
    result.shortName = coding::requiredText(json, "shortName");
    result.name = coding::requiredText(json, "name");
    result.configuration = coding::required(json, "configuration").template get<Project::Configuration>();
    const Json& tasks = coding::required(json, "tasks");
    if (!tasks.is_array()) {
        throw CodingError("Expected an array for \"tasks\"");
    }
    for (const auto& task : tasks) {
        result.tasks.push_back(task.template get<Issue>());
    }
    project = std::move(result);
}
} // namespace

std::size_t qHash(const Project::Configuration& c, std::size_t seed) {
    return HashBuilder(seed)
        .add(c.timeTrackingEnabled)
        .add(c.assigneeFilterEnabled)
        .add(c.stateFilterEnabled)
        .add(c.searchEnabled)
        .result();
}

std::size_t qHash(const Project& project, std::size_t seed) {
    return HashBuilder(seed)
        .add(project.id)
        .add(project.shortName)
        .add(project.name)
        .add(project.configuration)
        .add(project.tasks)
        .result();
}

VELMORA_JSON_CODING(Project::Configuration)

VELMORA_JSON_CODING(Project)

} // namespace velmora
