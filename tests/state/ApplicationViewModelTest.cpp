#include "FakeProviderService.h"
#include "StateTestEnvironment.h"

#include "core/model/JiraProvider.h"
#include "state/ApplicationViewModel.h"
#include "state/StarredProjectsSnapshot.h"
#include "tests/support/EventLoop.h"

#include <QUuid>

#include <gtest/gtest.h>

#include <memory>

namespace velmora {
namespace {

std::vector<QString> ids(const std::vector<Project>& projects) {
    std::vector<QString> result;
    for (const auto& project : projects) {
        result.push_back(project.id);
    }
    return result;
}

class ApplicationViewModelTest : public ::testing::Test {
protected:
    ApplicationViewModelTest() { service->projects.answer({a, b, c}); }

    std::unique_ptr<ApplicationViewModel> makeModel() {
        return std::make_unique<ApplicationViewModel>(account, service, env.environment());
    }

    std::optional<StarredProjectsSnapshot> saved() {
        return env.snapshots->value<StarredProjectsSnapshot>(key);
    }

    test::StateTestEnvironment env;
    std::shared_ptr<test::FakeProviderService> service = std::make_shared<test::FakeProviderService>();
    QUuid accountId = QUuid::fromString(QStringLiteral("{6f1c2b9e-3d4a-4e5f-8a7b-9c0d1e2f3a4b}"));
    AnyProvider account = JiraProvider(accountId, QStringLiteral("Work"), JiraProvider::Parameters{"cloud"});
    QString key = QStringLiteral("6F1C2B9E-3D4A-4E5F-8A7B-9C0D1E2F3A4B");
    Project a = test::makeProject(QStringLiteral("A"));
    Project b = test::makeProject(QStringLiteral("B"));
    Project c = test::makeProject(QStringLiteral("C"));
};

TEST_F(ApplicationViewModelTest, StartsOnTheCalendarAndLoadsProjectsInServiceOrder) {
    EXPECT_EQ(ApplicationViewModel::snapshotKey(accountId), key);
    auto model = makeModel();
    EXPECT_TRUE(model->route().isCalendar());
    EXPECT_TRUE(model->projects().empty());
    EXPECT_EQ(service->projects.calls(), 0) << "nothing loads before start()";

    service->projects.hold();
    model->start();
    EXPECT_TRUE(model->loadingProjects());
    service->projects.complete({a, b, c});
    ASSERT_TRUE(test::waitUntil([&] { return !model->loadingProjects() && model->projects().size() == 3; }));
    EXPECT_TRUE(model->starredProjects().empty());
    EXPECT_EQ(ids(model->projects()), (std::vector<QString>{"A", "B", "C"}));

    EXPECT_EQ(model->makeWorkLogForm(a, test::makeIssue(QStringLiteral("1")), 0), nullptr)
        << "a service that is not the account's tracker's has no booking form";

    model->setRoute(ApplicationRoute::forProject(b));
    EXPECT_EQ(model->route().project(), b);
    EXPECT_NE(model->route(), ApplicationRoute::calendar());
}

TEST_F(ApplicationViewModelTest, StarredProjectsComeFirstInServiceOrderAndPersist) {
    auto model = makeModel();
    model->start();
    ASSERT_TRUE(test::waitUntil([&] { return model->projects().size() == 3; }));

    model->toggleStar(true, c);
    model->toggleStar(true, a);
    test::drainEvents();
    EXPECT_EQ(ids(model->projects()), (std::vector<QString>{"A", "C", "B"}));
    EXPECT_EQ(model->starredProjects(), (std::vector<QString>{"C", "A"}));
    EXPECT_EQ(saved()->projects, (std::vector<QString>{"C", "A"}));

    model->toggleStar(false, a);
    test::drainEvents();
    EXPECT_EQ(ids(model->projects()), (std::vector<QString>{"C", "A", "B"}));

    // A new window of the same account brings the stars back, sorted from the start.
    env.reopenSnapshots();
    auto next = std::make_unique<ApplicationViewModel>(account, service, env.environment());
    next->start();
    ASSERT_TRUE(test::waitUntil([&] { return next->projects().size() == 3; }));
    EXPECT_EQ(ids(next->projects()), (std::vector<QString>{"C", "A", "B"}));

    // Unstarring the last one removes the account's entry.
    next->toggleStar(false, c);
    test::drainEvents();
    EXPECT_FALSE(saved().has_value());
    EXPECT_EQ(ids(next->projects()), (std::vector<QString>{"A", "B", "C"}));
}

TEST_F(ApplicationViewModelTest, DoubleStarAndPruningOnSave) {
    env.snapshots->save(StarredProjectsSnapshot{{QStringLiteral("gone")}}, key);
    auto model = makeModel();
    model->start();
    ASSERT_TRUE(test::waitUntil([&] { return model->projects().size() == 3; }));
    EXPECT_EQ(model->starredProjects(), std::vector<QString>{"gone"});

    model->toggleStar(true, b);
    model->toggleStar(true, b);
    EXPECT_EQ(model->starredProjects(), (std::vector<QString>{"gone", "B", "B"}));
    EXPECT_EQ(saved()->projects, (std::vector<QString>{"B", "B"})) << "a project that is gone is not saved";

    model->toggleStar(false, b);
    EXPECT_EQ(model->starredProjects(), std::vector<QString>{"gone"}) << "one unstar removes both";
    ASSERT_TRUE(saved().has_value()) << "stars remain in memory, so the entry stays";
    EXPECT_TRUE(saved()->projects.empty());

    // The next start reads the saved stars: the one that was left out is gone for good.
    model->start();
    EXPECT_TRUE(model->starredProjects().empty());
}

TEST_F(ApplicationViewModelTest, ASecondLoadReplacesTheFirstAndAFailureKeepsTheList) {
    auto model = makeModel();
    model->start();
    ASSERT_TRUE(test::waitUntil([&] { return model->projects().size() == 3; }));

    service->projects.hold();
    model->loadProjects();
    model->loadProjects();
    EXPECT_EQ(service->projects.cancellations(), 1);
    EXPECT_TRUE(model->loadingProjects());
    service->projects.complete({c});
    ASSERT_TRUE(test::waitUntil([&] { return !model->loadingProjects(); }));
    test::drainEvents();
    EXPECT_EQ(ids(model->projects()), std::vector<QString>{"C"});

    service->projects.answerError(APIError::unknown());
    model->loadProjects();
    ASSERT_TRUE(test::waitUntil([&] { return !model->loadingProjects(); }));
    EXPECT_EQ(ids(model->projects()), std::vector<QString>{"C"});
}

TEST_F(ApplicationViewModelTest, RoutesCompareByValue) {
    EXPECT_EQ(ApplicationRoute(), ApplicationRoute::calendar());
    EXPECT_EQ(ApplicationRoute::forProject(a), ApplicationRoute::forProject(a));
    Project renamed = a;
    renamed.name = QStringLiteral("Renamed");
    EXPECT_NE(ApplicationRoute::forProject(a), ApplicationRoute::forProject(renamed));
    EXPECT_NE(qHash(ApplicationRoute::forProject(a)), qHash(ApplicationRoute::calendar()));
    EXPECT_EQ(qHash(ApplicationRoute::forProject(a)), qHash(ApplicationRoute::forProject(a)));
}

} // namespace
} // namespace velmora
