#include "trackers/youtrack/YouTrackDTOs.h"

#include "core/net/Wire.h"

namespace velmora {

void from_json(const nlohmann::json& json, YouTrackUserDTO& value) {
    wire::field(json, "login", value.login);
    wire::field(json, "fullName", value.fullName);
    wire::field(json, "avatarUrl", value.avatarUrl);
}

void from_json(const nlohmann::json& json, YouTrackProjectDTO& value) {
    wire::field(json, "id", value.id);
    wire::field(json, "shortName", value.shortName);
    wire::field(json, "name", value.name);
}

void from_json(const nlohmann::json& json, YouTrackUserBundleDTO::Group& value) {
    wire::field(json, "teamForProject", value.teamForProject);
}

void from_json(const nlohmann::json& json, YouTrackUserBundleDTO& value) {
    wire::field(json, "groups", value.groups);
    wire::field(json, "aggregatedUsers", value.aggregatedUsers);
}

void from_json(const nlohmann::json& json, YouTrackStateBundleDTO::Value& value) {
    wire::field(json, "name", value.name);
}

void from_json(const nlohmann::json& json, YouTrackStateBundleDTO& value) {
    wire::field(json, "values", value.values);
}

void from_json(const nlohmann::json& json, YouTrackTaskDTO::CustomField::Value& value) {
    wire::field(json, "id", value.id);
    wire::field(json, "name", value.name);
    wire::field(json, "presentation", value.presentation);
    wire::field(json, "avatarUrl", value.avatarUrl);
}

void from_json(const nlohmann::json& json, YouTrackTaskDTO::CustomField& value) {
    using Field = YouTrackTaskDTO::CustomField;
    wire::field(json, "name", value.name);
    // Every YouTrack entity carries its class in "$type"; only here is it kept. A
    // plain "type" key means nothing.
    wire::field(json, "$type", value.type);
    // A project may hold fields of any type and shape; only those the issue mapping
    // reads are decoded, so that no other field can fail the page.
    if (value.type == Field::stateType || value.type == Field::periodType ||
        value.type == Field::singleUserType) {
        wire::field(json, "value", value.value);
    } else if (value.type == Field::multiUserType) {
        const auto users = wire::field<std::optional<std::vector<Field::Value>>>(json, "value");
        value.value = users && !users->empty() ? std::optional<Field::Value>(users->front()) : std::nullopt;
    } else {
        value.value = std::nullopt;
    }
}

void from_json(const nlohmann::json& json, YouTrackTaskDTO& value) {
    wire::field(json, "id", value.id);
    wire::field(json, "idReadable", value.idReadable);
    wire::field(json, "summary", value.summary);
    wire::field(json, "wikifiedDescription", value.wikifiedDescription);
    wire::field(json, "customFields", value.customFields);
}

void from_json(const nlohmann::json& json, YouTrackWorkEntryDTO::Duration& value) {
    wire::field(json, "minutes", value.minutes);
    wire::field(json, "presentation", value.presentation);
}

void from_json(const nlohmann::json& json, YouTrackWorkEntryDTO::Author& value) {
    wire::field(json, "login", value.login);
}

void from_json(const nlohmann::json& json, YouTrackWorkEntryDTO& value) {
    wire::field(json, "id", value.id);
    wire::field(json, "textPreview", value.textPreview);
    wire::field(json, "text", value.text);
    wire::field(json, "issue", value.issue);
    wire::field(json, "duration", value.duration);
    wire::field(json, "date", value.date);
    wire::field(json, "created", value.created);
    wire::field(json, "author", value.author);
}

void from_json(const nlohmann::json& json, YouTrackTimeTrackingSettingsDTO::WorkItemType& value) {
    wire::field(json, "id", value.id);
    wire::field(json, "name", value.name);
}

void from_json(const nlohmann::json& json, YouTrackTimeTrackingSettingsDTO& value) {
    wire::field(json, "enabled", value.enabled);
    wire::field(json, "workItemTypes", value.workItemTypes);
}

void to_json(nlohmann::json& json, const YouTrackWorkItemDTO::WorkItemType& value) {
    json = nlohmann::json::object();
    wire::put(json, "id", value.id);
}

void to_json(nlohmann::json& json, const YouTrackWorkItemDTO::Duration& value) {
    json = nlohmann::json::object();
    wire::put(json, "minutes", value.minutes);
}

void to_json(nlohmann::json& json, const YouTrackWorkItemDTO& value) {
    json = nlohmann::json::object();
    wire::put(json, "type", value.type);
    wire::put(json, "duration", value.duration);
    wire::put(json, "text", value.text);
}

void from_json(const nlohmann::json& json, YouTrackCreatedWorkItemDTO::Duration& value) {
    wire::field(json, "minutes", value.minutes);
}

void from_json(const nlohmann::json& json, YouTrackCreatedWorkItemDTO::Issue& value) {
    wire::field(json, "id", value.id);
}

void from_json(const nlohmann::json& json, YouTrackCreatedWorkItemDTO& value) {
    wire::field(json, "id", value.id);
    wire::field(json, "$type", value.type);
    wire::field(json, "duration", value.duration);
    wire::field(json, "issue", value.issue);
}

} // namespace velmora
