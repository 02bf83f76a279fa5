#include "trackers/asana/AsanaDTOs.h"

namespace velmora {

void from_json(const nlohmann::json& json, AsanaPhotoDTO& value) {
    // "image_60x60" after the decoder's key rule.
    wire::field(json, "image60X60", value.image60X60);
}

void from_json(const nlohmann::json& json, AsanaUserDTO& value) {
    wire::field(json, "gid", value.gid);
    wire::field(json, "name", value.name);
    wire::field(json, "photo", value.photo);
}

void from_json(const nlohmann::json& json, AsanaWorkspaceDTO& value) {
    wire::field(json, "gid", value.gid);
    wire::field(json, "name", value.name);
    wire::field(json, "resourceType", value.resourceType);
}

void from_json(const nlohmann::json& json, AsanaSectionDTO& value) {
    wire::field(json, "gid", value.gid);
    wire::field(json, "name", value.name);
}

void from_json(const nlohmann::json& json, AsanaMembershipDTO::Member& value) {
    wire::field(json, "gid", value.gid);
    wire::field(json, "name", value.name);
    wire::field(json, "resourceType", value.resourceType);
}

void from_json(const nlohmann::json& json, AsanaMembershipDTO& value) {
    wire::field(json, "gid", value.gid);
    wire::field(json, "member", value.member);
}

void from_json(const nlohmann::json& json, AsanaProjectDTO::CustomFieldSetting::CustomField& value) {
    wire::field(json, "gid", value.gid);
    wire::field(json, "asanaCreatedField", value.asanaCreatedField);
}

void from_json(const nlohmann::json& json, AsanaProjectDTO::CustomFieldSetting& value) {
    wire::field(json, "gid", value.gid);
    wire::field(json, "customField", value.customField);
}

void from_json(const nlohmann::json& json, AsanaProjectDTO& value) {
    wire::field(json, "gid", value.gid);
    wire::field(json, "name", value.name);
    wire::field(json, "customFieldSettings", value.customFieldSettings);
}

void from_json(const nlohmann::json& json, AsanaTaskDTO::Assignee& value) {
    wire::field(json, "gid", value.gid);
    wire::field(json, "name", value.name);
    wire::field(json, "photo", value.photo);
}

void from_json(const nlohmann::json& json, AsanaTaskDTO::Membership::Section& value) {
    wire::field(json, "gid", value.gid);
    wire::field(json, "name", value.name);
}

void from_json(const nlohmann::json& json, AsanaTaskDTO::Membership& value) {
    wire::field(json, "section", value.section);
}

void from_json(const nlohmann::json& json, AsanaTaskDTO& value) {
    wire::field(json, "gid", value.gid);
    wire::field(json, "actualTimeMinutes", value.actualTimeMinutes);
    wire::field(json, "assignee", value.assignee);
    wire::field(json, "htmlNotes", value.htmlNotes);
    wire::field(json, "memberships", value.memberships);
    wire::field(json, "name", value.name);
    wire::field(json, "permalinkUrl", value.permalinkUrl);
    wire::field(json, "modifiedAt", value.modifiedAt);
}

void from_json(const nlohmann::json& json, AsanaTimeTrackingEntryDTO::CreatedBy& value) {
    wire::field(json, "gid", value.gid);
}

void from_json(const nlohmann::json& json, AsanaTimeTrackingEntryDTO::Task& value) {
    wire::field(json, "gid", value.gid);
}

void from_json(const nlohmann::json& json, AsanaTimeTrackingEntryDTO& value) {
    wire::field(json, "gid", value.gid);
    wire::field(json, "enteredOn", value.enteredOn);
    wire::field(json, "durationMinutes", value.durationMinutes);
    wire::field(json, "createdBy", value.createdBy);
    wire::field(json, "createdAt", value.createdAt);
    wire::field(json, "task", value.task);
}

void from_json(const nlohmann::json& json, AsanaCreatedEntryDTO::Task& value) {
    wire::field(json, "gid", value.gid);
}

void from_json(const nlohmann::json& json, AsanaCreatedEntryDTO& value) {
    wire::field(json, "gid", value.gid);
    wire::field(json, "resourceType", value.resourceType);
    wire::field(json, "durationMinutes", value.durationMinutes);
    wire::field(json, "task", value.task);
}

void from_json(const nlohmann::json& json, AsanaPaginationMeta& value) {
    wire::field(json, "offset", value.offset);
    wire::field(json, "path", value.path);
    wire::field(json, "uri", value.uri);
}

void to_json(nlohmann::json& json, const AsanaTimeTrackingDTO::Data& value) {
    json = nlohmann::json::object();
    json["duration_minutes"] = value.durationMinutes;
}

void to_json(nlohmann::json& json, const AsanaTimeTrackingDTO& value) {
    json = nlohmann::json::object();
    json["data"] = value.data;
}

void read_json(JsonReader& reader, AsanaPhotoDTO& value) {
    wire::readObject(reader, {wire::member("image60X60", value.image60X60)});
}

void read_json(JsonReader& reader, AsanaTaskDTO::Assignee& value) {
    wire::readObject(reader, {wire::member("gid", value.gid), wire::member("name", value.name),
                              wire::member("photo", value.photo)});
}

void read_json(JsonReader& reader, AsanaTaskDTO::Membership::Section& value) {
    wire::readObject(reader, {wire::member("gid", value.gid), wire::member("name", value.name)});
}

void read_json(JsonReader& reader, AsanaTaskDTO::Membership& value) {
    wire::readObject(reader, {wire::member("section", value.section)});
}

void read_json(JsonReader& reader, AsanaTaskDTO& value) {
    wire::readObject(
        reader,
        {wire::member("gid", value.gid), wire::member("actualTimeMinutes", value.actualTimeMinutes),
         wire::member("assignee", value.assignee), wire::member("htmlNotes", value.htmlNotes),
         wire::member("memberships", value.memberships), wire::member("name", value.name),
         wire::member("permalinkUrl", value.permalinkUrl), wire::member("modifiedAt", value.modifiedAt)});
}

} // namespace velmora
