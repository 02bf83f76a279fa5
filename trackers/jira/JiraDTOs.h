#pragma once

#include "core/net/Wire.h"

#include <QString>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <vector>

// The records Jira Cloud answers with, as delivered, and the one record it is sent.
// Responses decode whole or not at all (core/net/Wire.h): a required field that is
// missing, null or of the wrong kind fails the whole response; an optional one that is
// missing or null is none; keys not read here are ignored. Keys are matched after the
// decoder's snake_case rule, so "account_id" reads as "accountId".
namespace velmora {

// --- paged responses --------------------------------------------------------------

// One page of a Jira list. The paging reads `maxResults` (the page size the server
// applied) and `values`; `startAt` and `total` must be there but steer nothing.
template <typename Item> struct JiraPage {
    using ValueType = Item;
    std::int64_t maxResults = 0;
    std::int64_t startAt = 0;
    std::int64_t total = 0;
    std::vector<Item> values;
};

// A page whose items stand under "values" (projects, users).
template <typename Item> struct JiraPaginatedResponseDTO : JiraPage<Item> {};

// --- issues -------------------------------------------------------------------

struct JiraTaskDTO {
    struct Fields {
        struct Status {
            QString id;
            QString name;
        };
        struct Assignee {
            struct Avatars {
                // The 48 by 48 pixel image, under the key "48x48".
                QString large;
            };
            QString accountId;
            QString displayName;
            Avatars avatarUrls;
        };

        QString summary;
        Status status;
        // Seconds logged on the issue; none when nothing is.
        std::optional<std::int64_t> timespent;
        std::optional<Assignee> assignee;
    };
    // The server's display rendering of two fields.
    struct RenderedFields {
        std::optional<QString> timespent;
        // HTML.
        std::optional<QString> description;
    };

    QString id;
    QString key;
    Fields fields;
    RenderedFields renderedFields;
};

// One page of the issue search ("search/jql"); the issues stand under "issues". The
// search pages by token: the next page is asked for with `nextPageToken`, and there is
// none after the last page (`isLast`, when the server says so). It counts nothing:
// there is no "startAt" and no "total".
struct JiraSearchDTO {
    using ValueType = JiraTaskDTO;
    std::vector<JiraTaskDTO> values;
    std::optional<QString> nextPageToken;
    std::optional<bool> isLast;

    // No further page: the server says so, or hands out no token to ask for one.
    bool isLastPage() const { return isLast.value_or(false) || !nextPageToken || nextPageToken->isEmpty(); }
};

// --- work logs (version 2: comments are plain text) ------------------------------

struct JiraWorkLogDTO {
    struct Author {
        QString accountId;
    };
    QString id;
    // The duration as the server renders it ("1h 30m").
    QString timeSpent;
    double timeSpentSeconds = 0;
    // "2024-03-04T10:00:00.000+0000"; turned into a date by the service.
    QString started;
    std::optional<QString> comment;
    // When the work log was made, in the form of `started`; Jira always sends it, but a
    // work log without it still reads.
    std::optional<QString> created = std::nullopt;
    // Who logged the work; a work log without one belongs to nobody we know.
    std::optional<Author> author;
};

// One page of an issue's work logs; they stand under "worklogs".
struct JiraWorkLogsDTO : JiraPage<JiraWorkLogDTO> {
    using WorkLog = JiraWorkLogDTO;
};

// --- projects, statuses, users, settings ----------------------------------------

struct JiraProjectDTO {
    QString id;
    QString key;
    QString name;
};

struct JiraStatusDTO {
    QString id;
    QString name;
};

// An issue type of a project with the statuses its issues can take.
struct JiraIssueTypeWithStatusDTO {
    QString id;
    QString name;
    bool subtask = false;
    std::vector<JiraStatusDTO> statuses;
};

// The user of the token ("me").
struct JiraUserDTO {
    QString accountId;
    QString name;
    QString picture;
};

struct JiraServerInfoDTO {
    // The site's address in the browser.
    QString baseUrl;
};

struct JiraTimeTrackingSettingsDTO {
    // The selected time-tracking provider; "JIRA" is the site's own.
    QString key;
    QString name;
};

// A site the token may reach; its `id` is what an account keeps as its organisation.
struct JiraAccessibleResourceDTO {
    QString id;
    QString url;
    QString name;
    QString avatarUrl;

    friend bool operator==(const JiraAccessibleResourceDTO&, const JiraAccessibleResourceDTO&) = default;
};

// --- the booking ------------------------------------------------------------------

// The body of a new work log: the whole seconds, when the work began, and the
// description (when there is one) as a one-paragraph document. Keys as named, with no case conversion; an
// absent comment leaves no key at all.
struct JiraWorkItemDTO {
    struct Comment {
        struct ContentLine {
            struct Paragraph {
                QString text;
                QString type = QStringLiteral("text");
            };
            std::vector<Paragraph> content;
            QString type = QStringLiteral("paragraph");
        };
        std::vector<ContentLine> content;
        QString type = QStringLiteral("doc");
        int version = 1;

        // The description exactly as typed, line breaks and blanks included.
        static Comment document(const QString& text);
    };

    std::optional<Comment> comment;
    // When the work began, in Jira's form with the offset of the local zone
    // ("2026-12-07T09:15:00.000+0100"); Jira asks for it with every new work log.
    QString started;
    std::int64_t timeSpentSeconds = 0;
};

// The answer to a new work log: Jira answers with the whole work log. Only what says it is
// the one booked is read (the rest may be missing from what a proxy makes up).
struct JiraCreatedWorkLogDTO {
    QString id;
    std::optional<QString> issueId;
    std::optional<double> timeSpentSeconds;
    // The start as Jira keeps it, in the form of JiraWorkLogDTO's.
    std::optional<QString> started;
};

void from_json(const nlohmann::json& json, JiraTaskDTO::Fields::Status& value);
void from_json(const nlohmann::json& json, JiraTaskDTO::Fields::Assignee::Avatars& value);
void from_json(const nlohmann::json& json, JiraTaskDTO::Fields::Assignee& value);
void from_json(const nlohmann::json& json, JiraTaskDTO::Fields& value);
void from_json(const nlohmann::json& json, JiraTaskDTO::RenderedFields& value);
void from_json(const nlohmann::json& json, JiraTaskDTO& value);
void from_json(const nlohmann::json& json, JiraSearchDTO& value);
void from_json(const nlohmann::json& json, JiraWorkLogDTO::Author& value);
void from_json(const nlohmann::json& json, JiraWorkLogDTO& value);
void from_json(const nlohmann::json& json, JiraWorkLogsDTO& value);
void from_json(const nlohmann::json& json, JiraProjectDTO& value);
void from_json(const nlohmann::json& json, JiraStatusDTO& value);
void from_json(const nlohmann::json& json, JiraIssueTypeWithStatusDTO& value);
void from_json(const nlohmann::json& json, JiraUserDTO& value);
void from_json(const nlohmann::json& json, JiraServerInfoDTO& value);
void from_json(const nlohmann::json& json, JiraTimeTrackingSettingsDTO& value);
void from_json(const nlohmann::json& json, JiraAccessibleResourceDTO& value);
void from_json(const nlohmann::json& json, JiraCreatedWorkLogDTO& value);

// The search page is read straight from the text (core/net/Wire.h), by the same rules.
void read_json(JsonReader& reader, JiraTaskDTO::Fields::Status& value);
void read_json(JsonReader& reader, JiraTaskDTO::Fields::Assignee::Avatars& value);
void read_json(JsonReader& reader, JiraTaskDTO::Fields::Assignee& value);
void read_json(JsonReader& reader, JiraTaskDTO::Fields& value);
void read_json(JsonReader& reader, JiraTaskDTO::RenderedFields& value);
void read_json(JsonReader& reader, JiraTaskDTO& value);
void read_json(JsonReader& reader, JiraSearchDTO& value);

void to_json(nlohmann::json& json, const JiraWorkItemDTO::Comment::ContentLine::Paragraph& value);
void to_json(nlohmann::json& json, const JiraWorkItemDTO::Comment::ContentLine& value);
void to_json(nlohmann::json& json, const JiraWorkItemDTO::Comment& value);
void to_json(nlohmann::json& json, const JiraWorkItemDTO& value);

namespace detail {
// The three counters every page carries.
void readPageCounters(const nlohmann::json& json, std::int64_t& maxResults, std::int64_t& startAt,
                      std::int64_t& total);
} // namespace detail

template <typename Item> void from_json(const nlohmann::json& json, JiraPaginatedResponseDTO<Item>& value) {
    detail::readPageCounters(json, value.maxResults, value.startAt, value.total);
    wire::field(json, "values", value.values);
}

} // namespace velmora
