#pragma once

#include <QString>

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <optional>
#include <vector>

// The JSON records of the YouTrack REST interface. Response records are only
// decoded, strictly: a required member that is missing, null or of the wrong kind
// fails the whole response. The booking body is only encoded.
namespace velmora {

// The current user, and the members of a user bundle.
struct YouTrackUserDTO {
    QString login;
    QString fullName;
    // As the tracker sends it: usually a path on the instance, sometimes absolute.
    QString avatarUrl;
};

// One project, and the project of a team group.
struct YouTrackProjectDTO {
    // The internal entity id, the one that enters endpoint paths.
    QString id;
    QString shortName;
    QString name;
};

// One user bundle, from which the assignees of a project are taken.
struct YouTrackUserBundleDTO {
    struct Group {
        // Absent for groups that are no project's team.
        std::optional<YouTrackProjectDTO> teamForProject;
    };

    std::vector<Group> groups;
    std::vector<YouTrackUserDTO> aggregatedUsers;
};

// One state bundle.
struct YouTrackStateBundleDTO {
    struct Value {
        QString name;
    };

    std::vector<Value> values;
};

// One issue of the issue search, and the issue of a work item.
struct YouTrackTaskDTO {
    struct CustomField {
        // The field types whose value is read; any other field keeps its name and
        // type only, whatever shape its value has (lists, numbers, texts).
        static inline const QString stateType = QStringLiteral("StateIssueCustomField");
        static inline const QString periodType = QStringLiteral("PeriodIssueCustomField");
        static inline const QString singleUserType = QStringLiteral("SingleUserIssueCustomField");
        // A field of several users (an assignee field may be one): its value is a list,
        // of which the first user is kept.
        static inline const QString multiUserType = QStringLiteral("MultiUserIssueCustomField");

        // A single value, strict in its shape for the types read.
        struct Value {
            QString id;
            std::optional<QString> name;
            std::optional<QString> presentation;
            std::optional<QString> avatarUrl;
        };

        QString name;
        // None for a field of a type not read, and for a list of no users.
        std::optional<Value> value;
        // The tracker's type tag, read from "$type" ("StateIssueCustomField", ...).
        QString type;
    };

    QString id;
    QString idReadable;
    QString summary;
    // The description as the tracker renders it.
    QString wikifiedDescription;
    std::vector<CustomField> customFields;
};

// One work item of the current user.
struct YouTrackWorkEntryDTO {
    struct Duration {
        std::int64_t minutes = 0;
        QString presentation;
    };

    // Whom the work is attributed to; only some reads ask for it.
    struct Author {
        QString login;
    };

    QString id;
    QString textPreview;
    std::optional<QString> text;
    YouTrackTaskDTO issue;
    Duration duration;
    // Milliseconds since 1970-01-01 00:00 UTC, exactly as sent.
    std::int64_t date = 0;
    // When the item was made, in the same unit; only some reads ask for it.
    std::optional<std::int64_t> created = std::nullopt;
    std::optional<Author> author = std::nullopt;
};

// The time-tracking settings of one project.
struct YouTrackTimeTrackingSettingsDTO {
    // Identified by its id: the booking form offers them in a choice list.
    struct WorkItemType {
        QString id;
        QString name;

        friend bool operator==(const WorkItemType&, const WorkItemType&) = default;
    };

    bool enabled = false;
    std::vector<WorkItemType> workItemTypes;
};

// The body that books a work item. Absent members are left out of the JSON
// entirely (no key, no null): {"duration":{"minutes":90}} is a whole booking.
struct YouTrackWorkItemDTO {
    struct WorkItemType {
        QString id;
    };
    struct Duration {
        std::int64_t minutes = 0;
    };

    std::optional<WorkItemType> type;
    Duration duration;
    std::optional<QString> text;
};

// The answer to a new work item, with the fields asked for (and YouTrack's own "$type",
// which it always sends). Only what says it is the one booked is read.
struct YouTrackCreatedWorkItemDTO {
    struct Duration {
        std::optional<std::int64_t> minutes;
    };
    struct Issue {
        QString id;
    };
    QString id;
    std::optional<QString> type;
    std::optional<Duration> duration;
    std::optional<Issue> issue;
};

void from_json(const nlohmann::json& json, YouTrackUserDTO& value);
void from_json(const nlohmann::json& json, YouTrackProjectDTO& value);
void from_json(const nlohmann::json& json, YouTrackUserBundleDTO::Group& value);
void from_json(const nlohmann::json& json, YouTrackUserBundleDTO& value);
void from_json(const nlohmann::json& json, YouTrackStateBundleDTO::Value& value);
void from_json(const nlohmann::json& json, YouTrackStateBundleDTO& value);
void from_json(const nlohmann::json& json, YouTrackTaskDTO::CustomField::Value& value);
void from_json(const nlohmann::json& json, YouTrackTaskDTO::CustomField& value);
void from_json(const nlohmann::json& json, YouTrackTaskDTO& value);
void from_json(const nlohmann::json& json, YouTrackWorkEntryDTO::Duration& value);
void from_json(const nlohmann::json& json, YouTrackWorkEntryDTO::Author& value);
void from_json(const nlohmann::json& json, YouTrackWorkEntryDTO& value);
void from_json(const nlohmann::json& json, YouTrackTimeTrackingSettingsDTO::WorkItemType& value);
void from_json(const nlohmann::json& json, YouTrackTimeTrackingSettingsDTO& value);
void from_json(const nlohmann::json& json, YouTrackCreatedWorkItemDTO::Duration& value);
void from_json(const nlohmann::json& json, YouTrackCreatedWorkItemDTO::Issue& value);
void from_json(const nlohmann::json& json, YouTrackCreatedWorkItemDTO& value);

void to_json(nlohmann::json& json, const YouTrackWorkItemDTO::WorkItemType& value);
void to_json(nlohmann::json& json, const YouTrackWorkItemDTO::Duration& value);
void to_json(nlohmann::json& json, const YouTrackWorkItemDTO& value);

} // namespace velmora
