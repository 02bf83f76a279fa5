#include "core/net/JsonBody.h"
#include "core/net/JsonDecoder.h"
#include "trackers/asana/AsanaDTOs.h"
#include "trackers/asana/AsanaEndpoint.h"
#include "trackers/asana/AsanaService.h"

#include <QTimeZone>

#include <gtest/gtest.h>

using namespace velmora;

namespace {

const JsonDecoder decoder(DateDecodingStrategy::Iso8601WithFractionalSeconds);

template <typename T> Result<T, QString> decode(const char* json) {
    return decoder.decode<T>(QByteArray(json));
}

QString itemsText(const QueryItems& items) {
    QStringList parts;
    for (const auto& item : items) {
        parts << item.name + QLatin1Char('=') + item.value;
    }
    return parts.join(QLatin1Char('&'));
}

} // namespace

TEST(AsanaWire, TaskPageDecodesOptionalMembersAndThe60PixelPhoto) {
    auto page = decode<AsanaResponseDTO<std::vector<AsanaTaskDTO>>>(R"({"data":[
        {"gid":"1","name":"First","html_notes":"<body>x</body>","actual_time_minutes":90,
         "assignee":{"gid":"u1","name":"Una","photo":{"image_21x21":"s","image_60x60":"m","image_128x128":"l"}},
         "memberships":[{"section":null},{"section":{"gid":"s2","name":"Later"}}],
         "permalink_url":"https://app.asana.test/0/1","modified_at":"2024-05-01T10:00:00.250Z","extra":1},
        {"gid":"2","name":"Second","html_notes":"","actual_time_minutes":null,"assignee":null,
         "memberships":[],"permalink_url":"u","modified_at":"2024-05-01T12:00:00.000+02:00"}]})");
    ASSERT_TRUE(page.ok()) << page.error().toStdString();
    const auto& first = page.value().data.at(0);
    ASSERT_TRUE(first.assignee && first.assignee->photo);
    EXPECT_EQ(first.assignee->photo->image60X60, QStringLiteral("m"));
    EXPECT_EQ(first.actualTimeMinutes, 90);
    EXPECT_FALSE(first.memberships.at(0).section.has_value());
    EXPECT_EQ(first.modifiedAt, QDateTime(QDate(2024, 5, 1), QTime(10, 0, 0, 250), QTimeZone::utc()));
    const auto& second = page.value().data.at(1);
    EXPECT_FALSE(second.assignee.has_value());
    EXPECT_FALSE(second.actualTimeMinutes.has_value());
    EXPECT_TRUE(second.memberships.empty());
    EXPECT_EQ(second.modifiedAt, QDateTime(QDate(2024, 5, 1), QTime(10, 0), QTimeZone::utc()));

    // The first membership decides the state, even when a later one has a section.
    EXPECT_FALSE(AsanaService::issueFrom(first).state.has_value());
    EXPECT_EQ(AsanaService::issueFrom(first).spentTime, QStringLiteral("1h 30m"));
    EXPECT_EQ(AsanaService::issueFrom(first).assignee->avatar, QStringLiteral("m"));
    EXPECT_EQ(AsanaService::issueFrom(first).externalUrl, QUrl(QStringLiteral("https://app.asana.test/0/1")));
    // No time spent gives no text; a permalink that is no absolute address gives none.
    EXPECT_FALSE(AsanaService::issueFrom(second).spentTime.has_value());
    EXPECT_FALSE(AsanaService::issueFrom(second).externalUrl.has_value());
    EXPECT_EQ(AsanaService::issueFrom(second).description, QString());
}

TEST(AsanaWire, AMalformedRecordFailsItsWholePage) {
    const char* const broken[] = {
        // modified_at without fraction, without zone, not text
        R"({"data":[{"gid":"1","name":"n","html_notes":"","memberships":[],"permalink_url":"u","modified_at":"2024-05-01T10:00:00Z"}]})",
        R"({"data":[{"gid":"1","name":"n","html_notes":"","memberships":[],"permalink_url":"u","modified_at":"2024-05-01T10:00:00.000"}]})",
        R"({"data":[{"gid":"1","name":"n","html_notes":"","memberships":[],"permalink_url":"u","modified_at":1714557600}]})",
        // a required key missing or null; a number where text belongs; a fraction for minutes
        R"({"data":[{"gid":"1","name":"n","memberships":[],"permalink_url":"u","modified_at":"2024-05-01T10:00:00.000Z"}]})",
        R"({"data":[{"gid":null,"name":"n","html_notes":"","memberships":[],"permalink_url":"u","modified_at":"2024-05-01T10:00:00.000Z"}]})",
        R"({"data":[{"gid":1,"name":"n","html_notes":"","memberships":[],"permalink_url":"u","modified_at":"2024-05-01T10:00:00.000Z"}]})",
        R"({"data":[{"gid":"1","name":"n","html_notes":"","actual_time_minutes":1.5,"memberships":[],"permalink_url":"u","modified_at":"2024-05-01T10:00:00.000Z"}]})",
        // an assignee present but without its name
        R"({"data":[{"gid":"1","name":"n","html_notes":"","assignee":{"gid":"u"},"memberships":[],"permalink_url":"u","modified_at":"2024-05-01T10:00:00.000Z"}]})",
    };
    for (const char* json : broken) {
        EXPECT_FALSE((decode<AsanaResponseDTO<std::vector<AsanaTaskDTO>>>(json).ok())) << json;
    }
}

TEST(AsanaWire, PagedEnvelopeNeedsACompleteNextPage) {
    auto last = decode<AsanaPaginatedResponseDTO<AsanaSectionDTO>>(
        R"({"data":[{"gid":"s","name":"S"}],"next_page":null})");
    ASSERT_TRUE(last.ok());
    EXPECT_FALSE(last.value().nextPage.has_value());
    EXPECT_TRUE((decode<AsanaPaginatedResponseDTO<AsanaSectionDTO>>(R"({"data":[]})").ok()));

    auto more = decode<AsanaPaginatedResponseDTO<AsanaSectionDTO>>(
        R"({"data":[],"next_page":{"offset":"abc","path":"/p?offset=abc","uri":"https://x/p?offset=abc"}})");
    ASSERT_TRUE(more.ok());
    EXPECT_EQ(more.value().nextPage->offset, QStringLiteral("abc"));

    EXPECT_FALSE((decode<AsanaPaginatedResponseDTO<AsanaSectionDTO>>(
                      R"({"data":[],"next_page":{"offset":"abc","uri":"https://x/p"}})")
                      .ok()));
    EXPECT_FALSE((decode<AsanaPaginatedResponseDTO<AsanaSectionDTO>>(
                      R"({"data":[],"next_page":{"offset":"abc","path":"/p"}})")
                      .ok()));
    EXPECT_FALSE((decode<AsanaPaginatedResponseDTO<AsanaSectionDTO>>(R"({"next_page":null})").ok()));
}

TEST(AsanaWire, ProjectsMembershipsAndEntriesDecode) {
    auto projects = decode<AsanaPaginatedResponseDTO<AsanaProjectDTO>>(R"({"data":[
        {"gid":"p1","name":"A","custom_field_settings":[]},
        {"gid":"p2","name":"B","custom_field_settings":[{"gid":"s","custom_field":{"gid":"f"}},
                                                         {"gid":"t","custom_field":{"gid":"g","asana_created_field":"estimated_time"}}]}]})");
    ASSERT_TRUE(projects.ok()) << projects.error().toStdString();
    EXPECT_FALSE(projects.value().data[1].customFieldSettings[0].customField.asanaCreatedField.has_value());
    EXPECT_EQ(projects.value().data[1].customFieldSettings[1].customField.asanaCreatedField,
              QStringLiteral("estimated_time"));
    EXPECT_FALSE(
        (decode<AsanaPaginatedResponseDTO<AsanaProjectDTO>>(R"({"data":[{"gid":"p1","name":"A"}]})").ok()));

    auto members = decode<AsanaPaginatedResponseDTO<AsanaMembershipDTO>>(
        R"({"data":[{"gid":"m","member":{"gid":"t1","name":"Team","resource_type":"team"}}]})");
    ASSERT_TRUE(members.ok());
    EXPECT_EQ(members.value().data[0].member.resourceType, QStringLiteral("team"));

    auto entries = decode<AsanaPaginatedResponseDTO<AsanaTimeTrackingEntryDTO>>(
        R"({"data":[{"gid":"e","entered_on":"2024-05-06","duration_minutes":30,"created_by":{"gid":"u1","resource_type":"user"},
                     "task":{"gid":"t9","resource_type":"task"}},
                    {"gid":"f","entered_on":"2024-05-07","duration_minutes":0}]})");
    ASSERT_TRUE(entries.ok());
    EXPECT_EQ(entries.value().data[0].createdBy->gid, QStringLiteral("u1"));
    EXPECT_EQ(entries.value().data[0].task->gid, QStringLiteral("t9"));
    EXPECT_FALSE(entries.value().data[1].createdBy.has_value());
    EXPECT_FALSE(entries.value().data[1].task.has_value());

    auto user = decode<AsanaResponseDTO<AsanaUserDTO>>(R"({"data":{"gid":"u1","name":"Una","photo":null}})");
    ASSERT_TRUE(user.ok());
    EXPECT_FALSE(user.value().data.photo.has_value());
    EXPECT_FALSE((decode<AsanaResponseDTO<AsanaUserDTO>>(
                      R"({"data":{"gid":"u1","name":"Una","photo":{"image_128x128":"l"}}})")
                      .ok()));
}

TEST(AsanaWire, BookingBodyHoldsOnlyTheWholeMinutes) {
    auto body = encodeJsonBody(AsanaTimeTrackingDTO{AsanaTimeTrackingDTO::Data{90}});
    ASSERT_TRUE(body.ok());
    EXPECT_EQ(body.value(), QByteArray(R"({"data":{"duration_minutes":90}})"));
}

TEST(AsanaWire, EntriesMapToLocalDaysAndDropWhatCannotBeShown) {
    const Issue task{QStringLiteral("t1"), {}, QStringLiteral("Task"), {}, {}, {}, {}, {}};
    auto entry =
        AsanaService::workEntryFrom({QStringLiteral("e1"), QStringLiteral("2024-05-06"), 90, {}}, task);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->started, QDate(2024, 5, 6).startOfDay());
    EXPECT_EQ(entry->spentTimeSeconds, 5400.0);
    EXPECT_EQ(entry->spentTime, QStringLiteral("1h 30m"));
    EXPECT_EQ(entry->issue, task);
    EXPECT_FALSE(entry->description.has_value());

    EXPECT_FALSE(
        AsanaService::workEntryFrom({QStringLiteral("e"), QStringLiteral("2024-05-06"), 0, {}}, task));
    EXPECT_FALSE(
        AsanaService::workEntryFrom({QStringLiteral("e"), QStringLiteral("2024-05-06"), -5, {}}, task));
    EXPECT_FALSE(AsanaService::workEntryFrom({QStringLiteral("e"), QStringLiteral("2024-5-6"), 5, {}}, task));
    EXPECT_FALSE(
        AsanaService::workEntryFrom({QStringLiteral("e"), QStringLiteral("2024-02-30"), 5, {}}, task));
    EXPECT_FALSE(AsanaService::workEntryFrom(
        {QStringLiteral("e"), QStringLiteral("2024-05-06"), std::numeric_limits<std::int64_t>::max(), {}},
        task));
}

TEST(AsanaEndpoint, PathsPutEachIdInOneEncodedSegment) {
    Project project;
    project.id = QStringLiteral("P");
    project.name = QStringLiteral("ignored");
    Issue task;
    task.id = QStringLiteral("T");
    WorkEntry entry;
    entry.id = QStringLiteral("E");
    EXPECT_EQ(AsanaEndpoint::user().path(), QStringLiteral("users/me"));
    EXPECT_EQ(AsanaEndpoint::workspaces().path(), QStringLiteral("workspaces"));
    EXPECT_EQ(AsanaEndpoint::memberships().path(), QStringLiteral("memberships"));
    EXPECT_EQ(AsanaEndpoint::projects(QStringLiteral("W")).path(), QStringLiteral("workspaces/W/projects"));
    EXPECT_EQ(AsanaEndpoint::search(QStringLiteral("W")).path(), QStringLiteral("workspaces/W/tasks/search"));
    EXPECT_EQ(AsanaEndpoint::sections(project).path(), QStringLiteral("projects/P/sections"));
    EXPECT_EQ(AsanaEndpoint::tasks(project).path(), QStringLiteral("projects/P/tasks"));
    EXPECT_EQ(AsanaEndpoint::teamUsers(QStringLiteral("T")).path(), QStringLiteral("teams/T/users"));
    EXPECT_EQ(AsanaEndpoint::timeTrackingEntries(task).path(),
              QStringLiteral("tasks/T/time_tracking_entries"));
    EXPECT_EQ(AsanaEndpoint::saveTimeTrackingEntry(task).path(),
              QStringLiteral("tasks/T/time_tracking_entries"));
    EXPECT_EQ(AsanaEndpoint::deleteTimeTrackingEntry(entry).path(),
              QStringLiteral("time_tracking_entries/E"));

    // An id can never reach another resource or add a query.
    task.id = QStringLiteral("1/../../users/me?x=#");
    EXPECT_EQ(AsanaEndpoint::timeTrackingEntries(task).path(),
              QStringLiteral("tasks/1%2F..%2F..%2Fusers%2Fme%3Fx%3D%23/time_tracking_entries"));
}

TEST(AsanaSearchQuery, OwnItemsMergeOverTheBaseAndEmptyOnesAreDropped) {
    const QString fields = QStringLiteral("name,html_notes,actual_time_minutes,assignee.name,assignee.photo,"
                                          "permalink_url,memberships.section.name,"
                                          "modified_at");
    // First page: no cursor; empty filters are not sent.
    EXPECT_EQ(itemsText(AsanaService::searchQueryItems(
                  50, std::nullopt,
                  {{"projects.any", "p1"}, {"text", ""}, {"sections.all", ""}, {"assignee.any", ""}})),
              QStringLiteral("opt_fields=") + fields +
                  QStringLiteral(
                      "&completed=false&sort_by=modified_at&sort_ascending=false&limit=50&projects.any=p1"));

    // A cursor is written in UTC with milliseconds; an own item replaces a base item in
    // its place, and one with an empty value removes it.
    const QDateTime cursor(QDate(2024, 5, 1), QTime(12, 0, 0, 5), QTimeZone(7200));
    EXPECT_EQ(itemsText(AsanaService::searchQueryItems(
                  100, cursor, {{"completed", ""}, {"sort_by", "created_at"}, {"modified_at.after", "x"}})),
              QStringLiteral("opt_fields=") + fields +
                  QStringLiteral("&sort_by=created_at&sort_ascending=false&limit=100"
                                 "&modified_at.before=2024-05-01T10:00:00.005Z&modified_at.after=x"));
}
