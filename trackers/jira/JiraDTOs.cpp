#include "trackers/jira/JiraDTOs.h"

namespace velmora {

namespace detail {
void readPageCounters(const nlohmann::json& json, std::int64_t& maxResults, std::int64_t& startAt,
                      std::int64_t& total) {
    wire::field(json, "maxResults", maxResults);
    wire::field(json, "startAt", startAt);
    wire::field(json, "total", total);
}
} // namespace detail

void from_json(const nlohmann::json& json, JiraTaskDTO::Fields::Status& value) {
    wire::field(json, "id", value.id);
    wire::field(json, "name", value.name);
}

void from_json(const nlohmann::json& json, JiraTaskDTO::Fields::Assignee::Avatars& value) {
    wire::field(json, "48x48", value.large);
}

void from_json(const nlohmann::json& json, JiraTaskDTO::Fields::Assignee& value) {
    wire::field(json, "accountId", value.accountId);
    wire::field(json, "displayName", value.displayName);
    wire::field(json, "avatarUrls", value.avatarUrls);
}

void from_json(const nlohmann::json& json, JiraTaskDTO::Fields& value) {
    wire::field(json, "summary", value.summary);
    wire::field(json, "status", value.status);
    wire::field(json, "timespent", value.timespent);
    wire::field(json, "assignee", value.assignee);
}

void from_json(const nlohmann::json& json, JiraTaskDTO::RenderedFields& value) {
    wire::field(json, "timespent", value.timespent);
    wire::field(json, "description", value.description);
}

void from_json(const nlohmann::json& json, JiraTaskDTO& value) {
    wire::field(json, "id", value.id);
    wire::field(json, "key", value.key);
    wire::field(json, "fields", value.fields);
    wire::field(json, "renderedFields", value.renderedFields);
}

void from_json(const nlohmann::json& json, JiraSearchDTO& value) {
    wire::field(json, "issues", value.values);
    wire::field(json, "nextPageToken", value.nextPageToken);
    wire::field(json, "isLast", value.isLast);
}

void read_json(JsonReader& reader, JiraTaskDTO::Fields::Status& value) {
    wire::readObject(reader, {wire::member("id", value.id), wire::member("name", value.name)});
}

void read_json(JsonReader& reader, JiraTaskDTO::Fields::Assignee::Avatars& value) {
    wire::readObject(reader, {wire::member("48x48", value.large)});
}

void read_json(JsonReader& reader, JiraTaskDTO::Fields::Assignee& value) {
    wire::readObject(reader, {wire::member("accountId", value.accountId),
                              wire::member("displayName", value.displayName),
                              wire::member("avatarUrls", value.avatarUrls)});
}

void read_json(JsonReader& reader, JiraTaskDTO::Fields& value) {
    wire::readObject(reader,
                     {wire::member("summary", value.summary), wire::member("status", value.status),
                      wire::member("timespent", value.timespent), wire::member("assignee", value.assignee)});
}

void read_json(JsonReader& reader, JiraTaskDTO::RenderedFields& value) {
    wire::readObject(
        reader, {wire::member("timespent", value.timespent), wire::member("description", value.description)});
}

void read_json(JsonReader& reader, JiraTaskDTO& value) {
    wire::readObject(reader, {wire::member("id", value.id), wire::member("key", value.key),
                              wire::member("fields", value.fields),
                              wire::member("renderedFields", value.renderedFields)});
}

void read_json(JsonReader& reader, JiraSearchDTO& value) {
    wire::readObject(reader, {wire::member("issues", value.values),
                              wire::member("nextPageToken", value.nextPageToken),
                              wire::member("isLast", value.isLast)});
}

void from_json(const nlohmann::json& json, JiraWorkLogDTO::Author& value) {
    wire::field(json, "accountId", value.accountId);
}

void from_json(const nlohmann::json& json, JiraWorkLogDTO& value) {
    wire::field(json, "id", value.id);
    wire::field(json, "timeSpent", value.timeSpent);
    wire::field(json, "timeSpentSeconds", value.timeSpentSeconds);
    wire::field(json, "started", value.started);
    wire::field(json, "comment", value.comment);
    wire::field(json, "created", value.created);
    wire::field(json, "author", value.author);
}

void from_json(const nlohmann::json& json, JiraWorkLogsDTO& value) {
    detail::readPageCounters(json, value.maxResults, value.startAt, value.total);
    wire::field(json, "worklogs", value.values);
}

void from_json(const nlohmann::json& json, JiraProjectDTO& value) {
    wire::field(json, "id", value.id);
    wire::field(json, "key", value.key);
    wire::field(json, "name", value.name);
}

void from_json(const nlohmann::json& json, JiraStatusDTO& value) {
    wire::field(json, "id", value.id);
    wire::field(json, "name", value.name);
}

void from_json(const nlohmann::json& json, JiraIssueTypeWithStatusDTO& value) {
    wire::field(json, "id", value.id);
    wire::field(json, "name", value.name);
    wire::field(json, "subtask", value.subtask);
    wire::field(json, "statuses", value.statuses);
}

void from_json(const nlohmann::json& json, JiraUserDTO& value) {
    wire::field(json, "accountId", value.accountId);
    wire::field(json, "name", value.name);
    wire::field(json, "picture", value.picture);
}

void from_json(const nlohmann::json& json, JiraServerInfoDTO& value) {
    wire::field(json, "baseUrl", value.baseUrl);
}

void from_json(const nlohmann::json& json, JiraTimeTrackingSettingsDTO& value) {
    wire::field(json, "key", value.key);
    wire::field(json, "name", value.name);
}

void from_json(const nlohmann::json& json, JiraAccessibleResourceDTO& value) {
    wire::field(json, "id", value.id);
    wire::field(json, "url", value.url);
    wire::field(json, "name", value.name);
    wire::field(json, "avatarUrl", value.avatarUrl);
}

JiraWorkItemDTO::Comment JiraWorkItemDTO::Comment::document(const QString& text) {
    Comment comment;
    ContentLine line;
    line.content.push_back(ContentLine::Paragraph{text});
    comment.content.push_back(std::move(line));
    return comment;
}

void to_json(nlohmann::json& json, const JiraWorkItemDTO::Comment::ContentLine::Paragraph& value) {
    json = nlohmann::json::object();
    wire::put(json, "text", value.text);
    wire::put(json, "type", value.type);
}

void to_json(nlohmann::json& json, const JiraWorkItemDTO::Comment::ContentLine& value) {
    json = nlohmann::json::object();
    json["content"] = value.content;
    wire::put(json, "type", value.type);
}

void to_json(nlohmann::json& json, const JiraWorkItemDTO::Comment& value) {
    json = nlohmann::json::object();
    json["content"] = value.content;
    wire::put(json, "type", value.type);
    json["version"] = value.version;
}

void to_json(nlohmann::json& json, const JiraWorkItemDTO& value) {
    json = nlohmann::json::object();
    wire::put(json, "comment", value.comment);
    wire::put(json, "started", value.started);
    json["timeSpentSeconds"] = value.timeSpentSeconds;
}

void from_json(const nlohmann::json& json, JiraCreatedWorkLogDTO& value) {
    wire::field(json, "id", value.id);
    wire::field(json, "issueId", value.issueId);
    wire::field(json, "timeSpentSeconds", value.timeSpentSeconds);
    wire::field(json, "started", value.started);
}

} // namespace velmora
