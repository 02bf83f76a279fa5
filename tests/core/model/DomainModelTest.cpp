#include "core/model/Coding.h"
#include "core/model/Issue.h"
#include "core/model/Project.h"
#include "core/model/User.h"
#include "core/model/WorkEntry.h"

#include <QHash>
#include <QSet>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <unordered_set>

using namespace velmora;
using nlohmann::json;
using nlohmann::ordered_json;

namespace {

Issue fullIssue() {
    Issue issue;
    issue.id = "10001";
    issue.reference = "ABC-1";
    issue.name = "Fix the login";
    issue.description = "<p>It fails</p>";
    issue.state = Issue::State{"3", "In Progress"};
    issue.spentTime = "1h 30m";
    issue.assignee = User{"u1", "Ada", "https://example.com/a.png"};
    issue.externalUrl = QUrl("https://example.atlassian.net/browse/ABC-1");
    return issue;
}

Project projectWith(std::vector<Issue> tasks) {
    return Project{"p1", "ABC", "Alpha", Project::Configuration{true, false, true, false}, std::move(tasks)};
}

} // namespace

TEST(DomainModel, IssueCodedFormRoundTripsAndKeepsFieldOrder) {
    const Issue issue = fullIssue();
    const ordered_json encoded = issue;
    std::vector<std::string> keys;
    for (const auto& [key, value] : encoded.items()) {
        keys.push_back(key);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"id", "reference", "name", "description", "state", "spentTime",
                                              "assignee", "externalUrl"}));
    EXPECT_EQ(encoded["externalUrl"], "https://example.atlassian.net/browse/ABC-1");
    EXPECT_EQ(encoded.get<Issue>(), issue);

    // The unordered json type works just the same.
    const json plain = issue;
    EXPECT_EQ(plain.get<Issue>(), issue);
}

TEST(DomainModel, IssueLeavesAbsentOptionalsOutAndReadsMissingOrNullAsAbsent) {
    const Issue minimal{"1",          std::nullopt, "Task",       std::nullopt,
                        std::nullopt, std::nullopt, std::nullopt, std::nullopt};
    const json encoded = minimal;
    EXPECT_EQ(encoded, json({{"id", "1"}, {"name", "Task"}}));
    EXPECT_FALSE(encoded.contains("state"));

    const auto decoded = decodeJson<Issue>(json::parse(R"({"id":"1","name":"Task"})"));
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(decoded.value(), minimal);

    const auto withNulls =
        decodeJson<Issue>(json::parse(R"({"id":"1","name":"Task","state":null,"assignee":null,"extra":5})"));
    ASSERT_TRUE(withNulls.ok());
    EXPECT_EQ(withNulls.value(), minimal);
}

TEST(DomainModel, DecodingFailsOnMissingRequiredKeysAndWrongKinds) {
    EXPECT_FALSE(decodeJson<Issue>(json::parse(R"({"id":"1"})")).ok());
    EXPECT_FALSE(decodeJson<Issue>(json::parse(R"({"id":1,"name":"Task"})")).ok());
    EXPECT_FALSE(decodeJson<Issue>(json::parse(R"({"id":"1","name":"Task","state":{"id":"3"}})")).ok());
    EXPECT_FALSE(decodeJson<Issue>(json::parse(R"({"id":"1","name":"Task","externalUrl":""})")).ok());
    EXPECT_FALSE(
        decodeJson<Issue>(json::parse(R"({"id":"1","name":"Task","externalUrl":"http://[::1"})")).ok());
    EXPECT_FALSE(decodeJson<Issue>(json::parse(R"(["id","name"])")).ok());
    EXPECT_FALSE(decodeJson<User>(json::parse(R"({"id":"u","name":"N","avatar":7})")).ok());
    EXPECT_FALSE(decodeJson<Project::Configuration>(
                     json::parse(R"({"timeTrackingEnabled":1,"assigneeFilterEnabled":true,)"
                                 R"("stateFilterEnabled":true,"searchEnabled":true})"))
                     .ok());
    EXPECT_FALSE(
        decodeJson<Project>(
            json::parse(R"({"id":"p","shortName":"P","name":"P","configuration":{"timeTrackingEnabled":)"
                        R"(true,"assigneeFilterEnabled":true,"stateFilterEnabled":true,"searchEnabled":)"
                        R"(true}})"))
            .ok())
        << "tasks is required";
}

TEST(DomainModel, ProjectCodedFormRoundTripsWithItsTasks) {
    const Project project = projectWith({fullIssue(), Issue{"2", {}, "Other", {}, {}, {}, {}, {}}});
    const ordered_json encoded = project;
    EXPECT_EQ(encoded["configuration"],
              ordered_json::parse(R"({"timeTrackingEnabled":true,)"
                                  R"("assigneeFilterEnabled":false,"stateFilterEnabled":true,)"
                                  R"("searchEnabled":false})"));
    EXPECT_EQ(encoded["tasks"].size(), 2u);
    EXPECT_EQ(decodeJson<Project>(encoded).value(), project);
    EXPECT_EQ(decodeJsonText<Project>(encodeJsonText(project)).value(), project);
}

TEST(DomainModel, EqualityAndHashingCoverEveryField) {
    Issue a = fullIssue();
    Issue b = fullIssue();
    EXPECT_EQ(a, b);
    EXPECT_EQ(qHash(a), qHash(b));
    EXPECT_EQ(std::hash<Issue>{}(a), std::hash<Issue>{}(b));

    b.spentTime = "2h";
    EXPECT_NE(a, b) << "same id, other spent time: another value";

    const Project withTasks = projectWith({a});
    const Project withoutTasks = projectWith({});
    EXPECT_NE(withTasks, withoutTasks);
    EXPECT_NE(qHash(withTasks), qHash(withoutTasks));

    // An absent avatar is not an empty one.
    const User noAvatar{"u", "N", std::nullopt};
    const User emptyAvatar{"u", "N", QString("")};
    EXPECT_NE(noAvatar, emptyAvatar);
    EXPECT_NE(qHash(noAvatar), qHash(emptyAvatar));

    // Usable as keys of both Qt and standard containers.
    QSet<Issue> qtSet{a, b, a};
    std::unordered_set<Project> stdSet{withTasks, withoutTasks, withTasks};
    EXPECT_EQ(qtSet.size(), 2);
    EXPECT_EQ(stdSet.size(), 2u);
}

TEST(DomainModel, WorkEntryHashesPositiveAndNegativeZeroAlike) {
    WorkEntry positive{"w", std::nullopt, "0m", 0.0, fullIssue(), QDateTime::fromSecsSinceEpoch(0, Qt::UTC)};
    WorkEntry negative = positive;
    negative.spentTimeSeconds = -0.0;
    EXPECT_EQ(positive, negative);
    EXPECT_EQ(qHash(positive), qHash(negative));

    // The same instant in another zone is the same start.
    negative.started = positive.started.toOffsetFromUtc(3600);
    EXPECT_EQ(positive, negative);
    EXPECT_EQ(qHash(positive), qHash(negative));
}

TEST(DomainModel, UnresolvedSentinelIsRecognisedByIdAlone) {
    const auto sentinel = Issue::State::unresolved();
    EXPECT_EQ(sentinel.id, "Unresolved");
    EXPECT_EQ(sentinel.name, "Unresolved");
    EXPECT_TRUE(sentinel.isUnresolved());

    const Issue::State renamed{"Unresolved", "Offen"};
    EXPECT_TRUE(renamed.isUnresolved());
    EXPECT_NE(renamed, sentinel);

    EXPECT_FALSE((Issue::State{"unresolved", "Unresolved"}).isUnresolved());
}
