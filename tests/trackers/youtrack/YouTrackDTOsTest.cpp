#include "trackers/youtrack/YouTrackDTOs.h"
#include "core/net/JsonDecoder.h"
#include "trackers/youtrack/YouTrackService.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <limits>

using namespace velmora;

namespace {

// The decoder the YouTrack client uses (snake_case rule, seconds since 1970).
template <typename T> Result<T, QString> decode(const char* json) {
    return JsonDecoder(DateDecodingStrategy::SecondsSince1970).decode<T>(QByteArray(json));
}

const char* issueWith(const char* customFields) {
    static std::string text;
    text = std::string(R"({"id":"2-7","idReadable":"APP-7","summary":"Crash","wikifiedDescription":"",)"
                       R"("customFields":)") +
           customFields + "}";
    return text.c_str();
}

} // namespace

TEST(YouTrackDTOsTest, CustomFieldTypeComesFromDollarTypeOnly) {
    auto fields = decode<YouTrackTaskDTO>(issueWith(
        R"([{"name":"State","$type":"StateIssueCustomField","type":"Decoy","value":{"id":"s1","name":"Open"}},)"
        R"( {"name":"Spent time","$type":"PeriodIssueCustomField","value":null},)"
        R"( {"name":"Assignee","$type":"SingleUserIssueCustomField"}])"));
    ASSERT_TRUE(fields.ok()) << fields.error().toStdString();
    const auto& custom = fields.value().customFields;
    ASSERT_EQ(custom.size(), 3u);
    EXPECT_EQ(custom[0].type, u"StateIssueCustomField");
    ASSERT_TRUE(custom[0].value);
    EXPECT_EQ(custom[0].value->id, u"s1");
    EXPECT_EQ(custom[0].value->name, QStringLiteral("Open"));
    EXPECT_FALSE(custom[0].value->presentation);
    EXPECT_FALSE(custom[0].value->avatarUrl);
    EXPECT_FALSE(custom[1].value);
    EXPECT_FALSE(custom[2].value);

    // Without "$type" a custom field does not decode, whatever "type" says.
    EXPECT_FALSE(
        decode<YouTrackTaskDTO>(issueWith(R"([{"name":"State","type":"StateIssueCustomField"}])")).ok());
}

TEST(YouTrackDTOsTest, FieldsOfAnyShapeDecodeAndSeveralAssigneesShowTheFirst) {
    const char* page =
        R"([{"id":"2-1","idReadable":"APP-1","summary":"One","wikifiedDescription":"","customFields":)"
        R"(  [{"name":"Assignee","$type":"SingleUserIssueCustomField","value":{"id":"1-1","name":"Ann"}}]},)"
        R"( {"id":"2-2","idReadable":"APP-2","summary":"Two","wikifiedDescription":"","customFields":)"
        R"(  [{"name":"Assignee","$type":"MultiUserIssueCustomField",)"
        R"(    "value":[{"id":"1-2","name":"Bob","avatarUrl":"/b.png"},{"id":"1-3","name":"Cy"}]},)"
        R"(   {"name":"Fix versions","$type":"MultiVersionIssueCustomField","value":[{"id":"v1","name":"1.0"}]},)"
        R"(   {"name":"Tags","$type":"MultiEnumIssueCustomField","value":[{"name":"no id"}]},)"
        R"(   {"name":"Estimate","$type":"SimpleIssueCustomField","value":3.5},)"
        R"(   {"name":"Notes","$type":"TextIssueCustomField","value":"text"}]},)"
        R"( {"id":"2-3","idReadable":"APP-3","summary":"Three","wikifiedDescription":"","customFields":)"
        R"(  [{"name":"Assignee","$type":"MultiUserIssueCustomField","value":[]}]}])";
    auto decoded = decode<std::vector<YouTrackTaskDTO>>(page);
    ASSERT_TRUE(decoded.ok()) << decoded.error().toStdString();
    ASSERT_EQ(decoded.value().size(), 3u);
    const auto& two = decoded.value()[1].customFields;
    ASSERT_EQ(two.size(), 5u);
    ASSERT_TRUE(two[0].value.has_value());
    EXPECT_EQ(two[0].value->name, QStringLiteral("Bob"));
    for (std::size_t i = 1; i < two.size(); ++i) {
        EXPECT_FALSE(two[i].value.has_value()) << i;
    }
    EXPECT_FALSE(decoded.value()[2].customFields[0].value.has_value());

    const auto issues = [&] {
        std::vector<Issue> mapped;
        for (const auto& task : decoded.value()) {
            mapped.push_back(YouTrackService::issueFrom(task, QStringLiteral("yt.example.com")));
        }
        return mapped;
    }();
    EXPECT_EQ(issues[0].assignee->name, u"Ann");
    ASSERT_TRUE(issues[1].assignee.has_value());
    EXPECT_EQ(issues[1].assignee->id, u"1-2");
    EXPECT_EQ(issues[1].assignee->avatar, u"https://yt.example.com/b.png");
    EXPECT_FALSE(issues[2].assignee.has_value());
}

TEST(YouTrackDTOsTest, MalformedCustomFieldValueFailsTheWholePage) {
    // A field that is read but not of its shape fails its issue and with it the page.
    const char* page =
        R"([{"id":"2-1","idReadable":"APP-1","summary":"Fine","wikifiedDescription":"","customFields":[]},)"
        R"( {"id":"2-2","idReadable":"APP-2","summary":"Odd","wikifiedDescription":"","customFields":)"
        R"(  [{"name":"State","$type":"StateIssueCustomField","value":[{"id":"s1","name":"Open"}]}]}])";
    EXPECT_FALSE(decode<std::vector<YouTrackTaskDTO>>(page).ok());

    // A value object without its id fails too.
    EXPECT_FALSE(
        decode<YouTrackTaskDTO>(
            issueWith(R"([{"name":"State","$type":"StateIssueCustomField","value":{"name":"Open"}}])"))
            .ok());
    // A missing required member of the issue itself.
    EXPECT_FALSE(
        decode<YouTrackTaskDTO>(R"({"id":"2-1","idReadable":"APP-1","summary":"x","customFields":[]})").ok());
    EXPECT_TRUE(decode<std::vector<YouTrackTaskDTO>>("[]").ok());
}

TEST(YouTrackDTOsTest, WorkEntryKeepsExact64BitNumbers) {
    const char* json =
        R"({"id":"wi-1","textPreview":"","text":null,"date":9007199254740993,)"
        R"("duration":{"minutes":4294967396,"presentation":"huge","$type":"DurationValue"},)"
        R"("issue":{"id":"2-1","idReadable":"APP-1","summary":"x","wikifiedDescription":"",)"
        R"("customFields":[{"name":"State","$type":"StateIssueCustomField"}]},"$type":"IssueWorkItem"})";
    auto entry = decode<YouTrackWorkEntryDTO>(json);
    ASSERT_TRUE(entry.ok()) << entry.error().toStdString();
    // 2^53 + 1 is not a double: a decoder that goes through floating point loses it.
    EXPECT_EQ(entry.value().date, 9007199254740993LL);
    EXPECT_EQ(entry.value().duration.minutes, 4294967396LL);
    EXPECT_FALSE(entry.value().text);
    EXPECT_EQ(entry.value().issue.customFields.at(0).type, u"StateIssueCustomField");

    auto small = decode<YouTrackWorkEntryDTO>(
        R"({"id":"wi-1","textPreview":"p","text":"t","date":1700000000123,)"
        R"("duration":{"minutes":90,"presentation":"1h 30m"},)"
        R"("issue":{"id":"2-1","idReadable":"APP-1","summary":"x","wikifiedDescription":"","customFields":[]}})");
    ASSERT_TRUE(small.ok());
    EXPECT_EQ(small.value().date, 1700000000123LL);
    EXPECT_EQ(small.value().text, QStringLiteral("t"));

    // No "textPreview", or a date that is not a whole number: the response fails.
    EXPECT_FALSE(
        decode<YouTrackWorkEntryDTO>(
            R"({"id":"wi-1","date":1,"duration":{"minutes":1,"presentation":"1m"},)"
            R"("issue":{"id":"2-1","idReadable":"APP-1","summary":"x","wikifiedDescription":"","customFields":[]}})")
            .ok());
    EXPECT_FALSE(
        decode<YouTrackWorkEntryDTO>(
            R"({"id":"wi-1","textPreview":"","date":1.5,"duration":{"minutes":1,"presentation":"1m"},)"
            R"("issue":{"id":"2-1","idReadable":"APP-1","summary":"x","wikifiedDescription":"","customFields":[]}})")
            .ok());
}

TEST(YouTrackDTOsTest, BundlesAndSettingsDecode) {
    auto bundle = decode<YouTrackUserBundleDTO>(
        R"({"groups":[{"teamForProject":null},{},{"teamForProject":{"id":"0-1","shortName":"APP","name":"App"}}],)"
        R"("aggregatedUsers":[{"login":"jane","fullName":"Jane","avatarUrl":"/a","id":"1-1"}]})");
    ASSERT_TRUE(bundle.ok()) << bundle.error().toStdString();
    ASSERT_EQ(bundle.value().groups.size(), 3u);
    EXPECT_FALSE(bundle.value().groups[0].teamForProject);
    EXPECT_FALSE(bundle.value().groups[1].teamForProject);
    EXPECT_EQ(bundle.value().groups[2].teamForProject->shortName, u"APP");

    auto empty = decode<YouTrackUserBundleDTO>(R"({"groups":[],"aggregatedUsers":[]})");
    ASSERT_TRUE(empty.ok());
    EXPECT_TRUE(empty.value().groups.empty());
    EXPECT_TRUE(empty.value().aggregatedUsers.empty());
    // A team project lacking one of its keys fails.
    EXPECT_FALSE(
        decode<YouTrackUserBundleDTO>(R"({"groups":[{"teamForProject":{"id":"0-1"}}],"aggregatedUsers":[]})")
            .ok());

    auto settings = decode<YouTrackTimeTrackingSettingsDTO>(
        R"({"enabled":false,"workItemTypes":[{"id":"t1","name":"Development","$type":"WorkItemType"}]})");
    ASSERT_TRUE(settings.ok());
    EXPECT_FALSE(settings.value().enabled);
    EXPECT_EQ(settings.value().workItemTypes,
              (std::vector<YouTrackTimeTrackingSettingsDTO::WorkItemType>{{"t1", "Development"}}));
    EXPECT_FALSE(decode<YouTrackTimeTrackingSettingsDTO>(R"({"enabled":"yes","workItemTypes":[]})").ok());
}

TEST(YouTrackDTOsTest, BookingBodyLeavesOutAbsentMembers) {
    YouTrackWorkItemDTO bare;
    bare.duration.minutes = 90;
    EXPECT_EQ(nlohmann::json(bare).dump(), R"({"duration":{"minutes":90}})");

    YouTrackWorkItemDTO full;
    full.type = YouTrackWorkItemDTO::WorkItemType{QStringLiteral("t1")};
    full.duration.minutes = std::numeric_limits<std::int64_t>::max();
    full.text = QStringLiteral("   ");
    const nlohmann::json json = full;
    ASSERT_EQ(json.size(), 3u);
    EXPECT_EQ(json.at("type"), nlohmann::json({{"id", "t1"}}));
    EXPECT_EQ(json.at("duration").at("minutes").get<std::int64_t>(),
              std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(json.at("text"), "   ");
}
