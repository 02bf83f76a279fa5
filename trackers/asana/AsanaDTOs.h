#pragma once

#include "core/net/Wire.h"

#include <QDateTime>
#include <QString>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <vector>

// The JSON records of the Asana REST interface. Responses are decoded strictly
// (core/net/Wire.h) after the snake_case key rule, so the keys read below are the
// camelCase forms ("modified_at" arrives as "modifiedAt"). A record missing a required
// key, or holding null or a value of the wrong kind there, fails the whole response.
namespace velmora {

// The pictures of a user; only the 60 by 60 one is kept.
struct AsanaPhotoDTO {
    QString image60X60;
    friend bool operator==(const AsanaPhotoDTO&, const AsanaPhotoDTO&) = default;
};

struct AsanaUserDTO {
    QString gid;
    QString name;
    std::optional<AsanaPhotoDTO> photo;
    friend bool operator==(const AsanaUserDTO&, const AsanaUserDTO&) = default;
};

struct AsanaWorkspaceDTO {
    QString gid;
    QString name;
    QString resourceType;
    // Identified by its gid.
    const QString& id() const { return gid; }
    friend bool operator==(const AsanaWorkspaceDTO&, const AsanaWorkspaceDTO&) = default;
};

struct AsanaSectionDTO {
    QString gid;
    QString name;
    friend bool operator==(const AsanaSectionDTO&, const AsanaSectionDTO&) = default;
};

struct AsanaMembershipDTO {
    struct Member {
        QString gid;
        QString name;
        // "user" or "team"; other kinds are ignored by the service.
        QString resourceType;
        friend bool operator==(const Member&, const Member&) = default;
    };
    QString gid;
    Member member;
    friend bool operator==(const AsanaMembershipDTO&, const AsanaMembershipDTO&) = default;
};

struct AsanaProjectDTO {
    struct CustomFieldSetting {
        struct CustomField {
            QString gid;
            // The name of a field the tracker defines itself ("estimated_time").
            std::optional<QString> asanaCreatedField;
            friend bool operator==(const CustomField&, const CustomField&) = default;
        };
        QString gid;
        CustomField customField;
        friend bool operator==(const CustomFieldSetting&, const CustomFieldSetting&) = default;
    };
    QString gid;
    QString name;
    std::vector<CustomFieldSetting> customFieldSettings;
    friend bool operator==(const AsanaProjectDTO&, const AsanaProjectDTO&) = default;
};

// One task of the task search.
struct AsanaTaskDTO {
    struct Assignee {
        QString gid;
        QString name;
        std::optional<AsanaPhotoDTO> photo;
        friend bool operator==(const Assignee&, const Assignee&) = default;
    };
    struct Membership {
        struct Section {
            QString gid;
            QString name;
            friend bool operator==(const Section&, const Section&) = default;
        };
        std::optional<Section> section;
        friend bool operator==(const Membership&, const Membership&) = default;
    };

    QString gid;
    std::optional<std::int64_t> actualTimeMinutes;
    std::optional<Assignee> assignee;
    // The description as HTML.
    QString htmlNotes;
    std::vector<Membership> memberships;
    QString name;
    QString permalinkUrl;
    // ISO 8601 with fractional seconds and a zone; anything else fails the page.
    QDateTime modifiedAt;
    friend bool operator==(const AsanaTaskDTO&, const AsanaTaskDTO&) = default;
};

// A time-tracking entry of a task.
struct AsanaTimeTrackingEntryDTO {
    // Who booked the entry; only its gid is read.
    struct CreatedBy {
        QString gid;
        friend bool operator==(const CreatedBy&, const CreatedBy&) = default;
    };
    // The task the entry is on; only its gid is read.
    struct Task {
        QString gid;
        friend bool operator==(const Task&, const Task&) = default;
    };
    QString gid;
    // A calendar day "yyyy-MM-dd", kept as text: the service reads it as a local day.
    QString enteredOn;
    std::int64_t durationMinutes = 0;
    // Asked for only by the range read, which keeps the account user's own entries.
    std::optional<CreatedBy> createdBy;
    // When the entry was made ("created_at"); absent when not asked for.
    std::optional<QDateTime> createdAt = std::nullopt;
    // The task it is on ("task"); asked for only where the list is not the task's own.
    std::optional<Task> task = std::nullopt;
    friend bool operator==(const AsanaTimeTrackingEntryDTO&, const AsanaTimeTrackingEntryDTO&) = default;
};

// The token of the next page of a list; `path` and `uri` must be there too.
struct AsanaPaginationMeta {
    QString offset;
    QString path;
    QString uri;
    friend bool operator==(const AsanaPaginationMeta&, const AsanaPaginationMeta&) = default;
};

// The envelope of a single record or of a search page.
template <typename T> struct AsanaResponseDTO {
    T data;
    friend bool operator==(const AsanaResponseDTO&, const AsanaResponseDTO&) = default;
};

// The envelope of one page of an offset-paged list; no `nextPage` on the last page.
template <typename T> struct AsanaPaginatedResponseDTO {
    std::vector<T> data;
    std::optional<AsanaPaginationMeta> nextPage;

    // The paging reads a page through these.
    const std::vector<T>& items() const { return data; }
    const std::optional<AsanaPaginationMeta>& next() const { return nextPage; }
    friend bool operator==(const AsanaPaginatedResponseDTO&, const AsanaPaginatedResponseDTO&) = default;
};

// The body that books a time-tracking entry: {"data":{"duration_minutes":N}}. It is
// encoded without key conversion, so the record names its own key.
struct AsanaTimeTrackingDTO {
    struct Data {
        std::int64_t durationMinutes = 0;
        friend bool operator==(const Data&, const Data&) = default;
    };
    Data data;
    friend bool operator==(const AsanaTimeTrackingDTO&, const AsanaTimeTrackingDTO&) = default;
};

// The answer to a new time-tracking entry (under "data"). Only what says it is the one
// booked is read.
struct AsanaCreatedEntryDTO {
    struct Task {
        QString gid;
    };
    QString gid;
    std::optional<QString> resourceType;
    std::optional<std::int64_t> durationMinutes;
    // The task it is on ("task", a compact task).
    std::optional<Task> task;
};

void from_json(const nlohmann::json& json, AsanaPhotoDTO& value);
void from_json(const nlohmann::json& json, AsanaUserDTO& value);
void from_json(const nlohmann::json& json, AsanaWorkspaceDTO& value);
void from_json(const nlohmann::json& json, AsanaSectionDTO& value);
void from_json(const nlohmann::json& json, AsanaMembershipDTO::Member& value);
void from_json(const nlohmann::json& json, AsanaMembershipDTO& value);
void from_json(const nlohmann::json& json, AsanaProjectDTO::CustomFieldSetting::CustomField& value);
void from_json(const nlohmann::json& json, AsanaProjectDTO::CustomFieldSetting& value);
void from_json(const nlohmann::json& json, AsanaProjectDTO& value);
void from_json(const nlohmann::json& json, AsanaTaskDTO::Assignee& value);
void from_json(const nlohmann::json& json, AsanaTaskDTO::Membership::Section& value);
void from_json(const nlohmann::json& json, AsanaTaskDTO::Membership& value);
void from_json(const nlohmann::json& json, AsanaTaskDTO& value);
void from_json(const nlohmann::json& json, AsanaTimeTrackingEntryDTO::CreatedBy& value);
void from_json(const nlohmann::json& json, AsanaTimeTrackingEntryDTO::Task& value);
void from_json(const nlohmann::json& json, AsanaTimeTrackingEntryDTO& value);
void from_json(const nlohmann::json& json, AsanaPaginationMeta& value);
void from_json(const nlohmann::json& json, AsanaCreatedEntryDTO::Task& value);
void from_json(const nlohmann::json& json, AsanaCreatedEntryDTO& value);

template <typename T> void from_json(const nlohmann::json& json, AsanaResponseDTO<T>& value) {
    wire::field(json, "data", value.data);
}

// The task search page is read straight from the text (core/net/Wire.h), by the same
// rules as above.
void read_json(JsonReader& reader, AsanaPhotoDTO& value);
void read_json(JsonReader& reader, AsanaTaskDTO::Assignee& value);
void read_json(JsonReader& reader, AsanaTaskDTO::Membership::Section& value);
void read_json(JsonReader& reader, AsanaTaskDTO::Membership& value);
void read_json(JsonReader& reader, AsanaTaskDTO& value);

template <typename T>
requires(wire::readable<T>()) void read_json(JsonReader& reader, AsanaResponseDTO<T>& value) {
    wire::readObject(reader, {wire::member("data", value.data)});
}

template <typename T> void from_json(const nlohmann::json& json, AsanaPaginatedResponseDTO<T>& value) {
    wire::field(json, "data", value.data);
    wire::field(json, "nextPage", value.nextPage);
}

void to_json(nlohmann::json& json, const AsanaTimeTrackingDTO::Data& value);
void to_json(nlohmann::json& json, const AsanaTimeTrackingDTO& value);

} // namespace velmora
