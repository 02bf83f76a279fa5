#include "trackers/youtrack/YouTrackEndpoint.h"

#include <gtest/gtest.h>

using namespace velmora;

TEST(YouTrackEndpointTest, PathsOfEveryCase) {
    Issue task;
    task.id = QStringLiteral("2-15");
    WorkEntry entry;
    entry.id = QStringLiteral("115-3");
    entry.issue.id = QStringLiteral("2-15");

    EXPECT_EQ(YouTrackEndpoint::timeTrackingSettings(QStringLiteral("0-1")).path(),
              u"api/admin/projects/0-1/timeTrackingSettings");
    EXPECT_EQ(YouTrackEndpoint::saveWorkItem(task).path(), u"api/issues/2-15/timeTracking/workItems");
    EXPECT_EQ(YouTrackEndpoint::deleteWorkItem(entry).path(),
              u"api/issues/2-15/timeTracking/workItems/115-3");
    EXPECT_EQ(YouTrackEndpoint::user().path(), u"api/users/me");
    EXPECT_EQ(YouTrackEndpoint::projects().path(), u"api/admin/projects");
    EXPECT_EQ(YouTrackEndpoint::tasks().path(), u"api/issues");
    EXPECT_EQ(YouTrackEndpoint::states().path(), u"api/admin/customFieldSettings/bundles/state");
    EXPECT_EQ(YouTrackEndpoint::assignees().path(), u"api/admin/customFieldSettings/bundles/user");
    EXPECT_EQ(YouTrackEndpoint::workItems().path(), u"api/workItems");
    // An empty id is not validated: the path just has an empty segment.
    EXPECT_EQ(YouTrackEndpoint::timeTrackingSettings(QString()).path(),
              u"api/admin/projects//timeTrackingSettings");
}

TEST(YouTrackEndpointTest, IdsStayOneSegment) {
    WorkEntry entry;
    entry.id = QStringLiteral("a/../b?c#d");
    entry.issue.id = QStringLiteral("x y/z");
    EXPECT_EQ(YouTrackEndpoint::deleteWorkItem(entry).path(),
              u"api/issues/x%20y%2Fz/timeTracking/workItems/a%2F..%2Fb%3Fc%23d");
    EXPECT_EQ(YouTrackEndpoint::timeTrackingSettings(QStringLiteral("../users/me")).path(),
              u"api/admin/projects/..%2Fusers%2Fme/timeTrackingSettings");
}
