#pragma once

#include "tests/support/FakeAsanaServer.h"

namespace velmora::test {

// The Asana of the try-out (velmora_fake_trackers): two tasks in a project whose time
// tracking is on ("Marketing site"), and one that does not track time ("Launch plan"),
// as a user trying the app meets them.
inline void seedTryOutAsana(FakeAsanaServer& asana) {
    // A booking is entered today, where the app's calendar looks.
    asana.datesByLocalDay = true;
    // The tasks' project tracks time (its estimate field is Asana's own), so a booking can
    // be tried in it; the other shows a project that does not.
    asana.addProject({QStringLiteral("p1"),
                      QStringLiteral("Marketing site"),
                      QStringLiteral("w1"),
                      {QStringLiteral("estimated_time")}});
    asana.addProject({QStringLiteral("p2"), QStringLiteral("Launch plan"), QStringLiteral("w1"), {}});
    auto task = [](const char* gid, const char* name) {
        FakeAsanaServer::Task task;
        task.gid = QString::fromLatin1(gid);
        task.name = QString::fromLatin1(name);
        task.projectGid = QStringLiteral("p1");
        task.assigneeGid = QStringLiteral("u1");
        return task;
    };
    asana.addTask(task("t1", "Write the announcement"));
    asana.addTask(task("t2", "Pick the screenshots"));
}

} // namespace velmora::test
