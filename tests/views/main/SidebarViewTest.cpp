#include "views/main/SidebarView.h"

#include "core/model/NotificationNames.h"
#include "platform/notifications/NotificationCenter.h"
#include "platform/store/ProviderStore.h"
#include "tests/state/FakeProviderService.h"
#include "tests/state/StateTestEnvironment.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LoopbackImageServer.h"
#include "views/main/AvatarView.h"
#include "views/main/LoadFailureView.h"
#include "views/main/NavigationLinkButton.h"
#include "views/main/ProjectLinkView.h"
#include "views/main/ProjectListModel.h"
#include "views/main/TimerBlockView.h"

#include <QApplication>
#include <QLabel>
#include <QListView>
#include <QPainter>
#include <QPushButton>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

using namespace velmora;
using namespace velmora::test;

namespace {

class SidebarViewTest : public ::testing::Test {
protected:
    SidebarViewTest()
        : store(dir.filePath(QStringLiteral("Velmora.sqlite"))),
          account(QUuid::createUuid(), QStringLiteral("Work"),
                  JiraProvider::Parameters{QStringLiteral("cloud")}, ProviderState::operational,
                  ProviderUser{QStringLiteral("u1"), QStringLiteral("Una User"), QString()}),
          service(std::make_shared<FakeProviderService>()), viewModel(account, service, env.environment()),
          timer(QStringLiteral("ACCOUNT"), env.environment()) {
        EXPECT_TRUE(store.insertProvider(toEntity(account)).ok());
        service->projects.answer({makeProject(QStringLiteral("a")), makeProject(QStringLiteral("b")),
                                  makeProject(QStringLiteral("c"))});
    }

    std::unique_ptr<SidebarView> sidebar() {
        auto view = std::make_unique<SidebarView>(viewModel, timer, account.id(), store);
        view->resize(SidebarView::columnWidth, 600);
        view->show();
        return view;
    }

    QStringList listedNames(SidebarView& view) {
        QStringList names;
        for (int row = 0; row < view.projectModel()->rowCount(); ++row) {
            names << view.projectModel()->index(row).data().toString();
        }
        return names;
    }

    void clickRow(SidebarView& view, int row) {
        const QRect rect = view.projectList()->visualRect(view.projectModel()->index(row));
        QTest::mouseClick(view.projectList()->viewport(), Qt::LeftButton, {}, rect.center());
    }

    QTemporaryDir dir;
    ProviderStore store;
    StateTestEnvironment env;
    JiraProvider account;
    std::shared_ptr<FakeProviderService> service;
    ApplicationViewModel viewModel;
    TimerViewModel timer;
};

} // namespace

TEST_F(SidebarViewTest, TheHeaderShowsTheAccountAndItsUser) {
    auto view = sidebar();
    EXPECT_EQ(view->userNameLabel()->text(), QStringLiteral("Una User"));
    EXPECT_EQ(view->accountNameLabel()->text(), QStringLiteral("Work"));
    EXPECT_FALSE(view->avatarView()->url().has_value());
    EXPECT_EQ(view->width(), SidebarView::columnWidth);

    // Without a user the account's name shows twice.
    JiraProvider bare(QUuid::createUuid(), QStringLiteral("Side"),
                      JiraProvider::Parameters{QStringLiteral("c2")}, ProviderState::operational,
                      std::nullopt);
    ASSERT_TRUE(store.insertProvider(toEntity(bare)).ok());
    SidebarView other(viewModel, timer, bare.id(), store);
    EXPECT_EQ(other.userNameLabel()->text(), QStringLiteral("Side"));
    EXPECT_EQ(other.accountNameLabel()->text(), QStringLiteral("Side"));
    EXPECT_FALSE(other.avatarView()->url().has_value());

    QTest::mouseClick(view->accountHeader(), Qt::LeftButton);
    EXPECT_TRUE(view->isProviderSelectorShown());
}

TEST_F(SidebarViewTest, LoadingWinsThenTheProjectsOrNoProjectsShow) {
    service->projects.hold();
    auto view = sidebar();
    EXPECT_EQ(view->projectsContent(), view->noProjectsLabel());
    EXPECT_EQ(view->noProjectsLabel()->text(), QStringLiteral("No Projects"));

    viewModel.start();
    EXPECT_EQ(view->projectsContent(), view->loadingRow());
    service->projects.complete({makeProject(QStringLiteral("a")), makeProject(QStringLiteral("b"))});
    drainEvents();
    EXPECT_EQ(view->projectsContent(), view->projectList());
    EXPECT_EQ(listedNames(*view), (QStringList{QStringLiteral("Project a"), QStringLiteral("Project b")}));

    // A reload shows the loading row even though projects are listed.
    viewModel.loadProjects();
    EXPECT_EQ(view->projectsContent(), view->loadingRow());
}

TEST_F(SidebarViewTest, StarringReordersAsTheStateSays) {
    auto view = sidebar();
    viewModel.start();
    drainEvents();
    ASSERT_EQ(listedNames(*view).size(), 3);

    view->toggleFavorite(2);
    drainEvents();
    EXPECT_EQ(listedNames(*view), (QStringList{QStringLiteral("Project c"), QStringLiteral("Project a"),
                                               QStringLiteral("Project b")}));
    EXPECT_TRUE(view->projectModel()->isStarred(0).get());
    EXPECT_EQ(view->projectModel()->index(0).data(ProjectListModel::IsStarredRole).toBool(), true);

    view->toggleFavorite(0);
    drainEvents();
    EXPECT_EQ(listedNames(*view), (QStringList{QStringLiteral("Project a"), QStringLiteral("Project b"),
                                               QStringLiteral("Project c")}));
    EXPECT_TRUE(viewModel.starredProjects().empty());
}

TEST_F(SidebarViewTest, ClicksSelectTheCalendarAndProjectsAndNeverDeselect) {
    auto view = sidebar();
    viewModel.start();
    drainEvents();

    clickRow(*view, 1);
    EXPECT_EQ(viewModel.route(), ApplicationRoute::forProject(makeProject(QStringLiteral("b"))));
    EXPECT_TRUE(view->projectModel()->index(1).data(ProjectListModel::IsActiveRole).toBool());
    EXPECT_FALSE(view->calendarButton()->isActive());
    clickRow(*view, 1);
    EXPECT_EQ(viewModel.route(), ApplicationRoute::forProject(makeProject(QStringLiteral("b"))));

    QTest::mouseClick(view->calendarButton(), Qt::LeftButton);
    EXPECT_TRUE(viewModel.route().isCalendar());
    EXPECT_TRUE(view->calendarButton()->isActive());
    QTest::mouseClick(view->calendarButton(), Qt::LeftButton);
    EXPECT_TRUE(viewModel.route().isCalendar());
}

TEST_F(SidebarViewTest, TabReachesTheCalendarTheProjectsAndTheTimerButtonsAndKeysUseThem) {
    auto view = sidebar();
    viewModel.start();
    drainEvents();
    timer.start(makeProject(QStringLiteral("a")), makeIssue(QStringLiteral("7")));
    drainEvents();
    view->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(view.get()));
    view->calendarButton()->setFocus(Qt::TabFocusReason);

    QSet<QWidget*> reached;
    for (int i = 0; i < 12; ++i) {
        reached << QApplication::focusWidget();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    EXPECT_TRUE(reached.contains(view->calendarButton()));
    EXPECT_TRUE(reached.contains(view->projectList()));
    EXPECT_TRUE(reached.contains(view->timerBlock()->stopButton()));
    EXPECT_TRUE(reached.contains(view->timerBlock()->pauseButton()));

    // The arrows move through the projects; Return and Space choose one.
    view->projectList()->setFocus(Qt::TabFocusReason);
    view->projectList()->setCurrentIndex(view->projectModel()->index(0));
    QTest::keyClick(view->projectList(), Qt::Key_Down);
    QTest::keyClick(view->projectList(), Qt::Key_Return);
    EXPECT_EQ(viewModel.route(), ApplicationRoute::forProject(makeProject(QStringLiteral("b"))));
    QTest::keyClick(view->projectList(), Qt::Key_Down);
    QTest::keyClick(view->projectList(), Qt::Key_Space);
    EXPECT_EQ(viewModel.route(), ApplicationRoute::forProject(makeProject(QStringLiteral("c"))));
    QTest::keyClick(view->calendarButton(), Qt::Key_Return);
    EXPECT_TRUE(viewModel.route().isCalendar());

    // The timer's buttons answer Space and Return.
    QTest::keyClick(view->timerBlock()->pauseButton(), Qt::Key_Space);
    EXPECT_EQ(timer.state(), TimerViewModel::State::paused);
    drainEvents();
    QTest::keyClick(view->timerBlock()->playButton(), Qt::Key_Return);
    EXPECT_EQ(timer.state(), TimerViewModel::State::active);
}

TEST_F(SidebarViewTest, ARowIsActiveOnlyForAnEqualProject) {
    auto view = sidebar();
    viewModel.start();
    drainEvents();
    Project renamed = makeProject(QStringLiteral("a"));
    renamed.name = QStringLiteral("Renamed");
    viewModel.setRoute(ApplicationRoute::forProject(renamed));
    for (int row = 0; row < 3; ++row) {
        EXPECT_FALSE(view->projectModel()->isActive(row).get());
    }
}

TEST_F(SidebarViewTest, TheMarkShowsTheRunningTimerOverThePin) {
    auto view = sidebar();
    viewModel.start();
    drainEvents();
    view->toggleFavorite(0);
    drainEvents();
    auto* model = view->projectModel();
    auto mark = [&] {
        const QModelIndex first = model->index(0);
        return ProjectLinkView::indicator(first.data(ProjectListModel::IsStarredRole).toBool(),
                                          first.data(ProjectListModel::IsRecordingRole).toBool());
    };
    EXPECT_EQ(mark(), ProjectLinkView::Indicator::pin);
    timer.start(model->project(0), makeIssue(QStringLiteral("1")));
    EXPECT_EQ(mark(), ProjectLinkView::Indicator::recording);
    timer.reset();
    EXPECT_EQ(mark(), ProjectLinkView::Indicator::pin);
    EXPECT_EQ(ProjectLinkView::favoriteActionText(true), QStringLiteral("Remove from Favorites"));
    EXPECT_EQ(ProjectLinkView::favoriteActionText(false), QStringLiteral("Add to Favorites"));
}

TEST_F(SidebarViewTest, NotificationsThatDoNotQualifyOpenNoSheet) {
    auto view = sidebar();
    // A stopped timer without a task.
    timer.cancel();
    drainEvents();
    EXPECT_EQ(view->bookingSheet(), nullptr);
    // A manual work log while the calendar shows, or without a task.
    NotificationCenter::defaultCenter().post(QString(NotificationName::addManualWorkLog),
                                             makeIssue(QStringLiteral("1")));
    viewModel.setRoute(ApplicationRoute::forProject(makeProject(QStringLiteral("a"))));
    NotificationCenter::defaultCenter().post(QString(NotificationName::addManualWorkLog));
    drainEvents();
    EXPECT_EQ(view->bookingSheet(), nullptr);
    EXPECT_EQ(view->workLogForm(), nullptr);
}

TEST(NavigationLinkButtonTest, AClickWritesTheNegationAndTheLookFollowsTheWindow) {
    bool active = false;
    std::vector<bool> written;
    NavigationLinkButton button(Binding<bool>([&] { return active; },
                                              [&](const bool& value) {
                                                  written.push_back(value);
                                                  active = true;
                                              }),
                                QStringLiteral("Calendar"), SystemSymbol::Name::calendar);
    button.resize(200, 28);
    button.show();
    QTest::mouseClick(&button, Qt::LeftButton);
    QTest::mouseClick(&button, Qt::LeftButton);
    EXPECT_EQ(written, (std::vector<bool>{true, false}));
    EXPECT_TRUE(button.isActive());

    const QPalette colors = button.palette();
    const auto key = NavigationLinkButton::look(colors, true, true);
    EXPECT_EQ(key.foreground, QColor(Qt::white));
    EXPECT_TRUE(key.background.isValid());
    const auto inactive = NavigationLinkButton::look(colors, true, false);
    EXPECT_NE(inactive.foreground, QColor(Qt::white));
    EXPECT_NEAR(inactive.background.alphaF(), 0.15, 0.01);
    EXPECT_FALSE(NavigationLinkButton::look(colors, false, true).background.isValid());
}

TEST(AvatarViewTest, WithoutAnAddressARingOfATenth) {
    AvatarView avatar(std::nullopt, 20);
    EXPECT_EQ(avatar.size(), QSize(20, 20));
    EXPECT_DOUBLE_EQ(avatar.ringWidth(), 2.0);
    EXPECT_FALSE(avatar.showsPlaceholder());

    EXPECT_EQ(avatar.remoteImage(), nullptr);

    // An address that cannot be loaded keeps the placeholder, with no ring.
    AvatarView remote(QUrl(QStringLiteral("https://127.0.0.1:1/me.png")), 30);
    remote.show();
    ASSERT_NE(remote.remoteImage(), nullptr);
    EXPECT_EQ(remote.remoteImage()->url(), QUrl(QStringLiteral("https://127.0.0.1:1/me.png")));
    EXPECT_TRUE(remote.showsPlaceholder());
    EXPECT_DOUBLE_EQ(remote.ringWidth(), 0.0);
    // An address that is empty counts as none, and the remote view goes.
    remote.setUrl(QUrl());
    EXPECT_FALSE(remote.url().has_value());
    EXPECT_EQ(remote.remoteImage(), nullptr);
    EXPECT_DOUBLE_EQ(remote.ringWidth(), 3.0);
}

TEST(AvatarViewTest, ALoadedPictureFillsTheCircle) {
    LoopbackImageServer server;
    server.serve("/me.png", ImageAnswer::image(LoopbackImageServer::png(8, 8, Qt::blue)));
    AvatarView avatar(server.url(QStringLiteral("/me.png")), 30);
    avatar.show();
    ASSERT_TRUE(waitUntil([&] { return !avatar.showsPlaceholder(); }));
    drainEvents();
    QImage shown(avatar.size(), QImage::Format_ARGB32);
    shown.fill(Qt::transparent);
    avatar.render(&shown, QPoint(), QRegion(), QWidget::DrawChildren);
    EXPECT_EQ(shown.pixelColor(15, 15), QColor(Qt::blue));
    // Outside the circle nothing is drawn.
    EXPECT_EQ(shown.pixelColor(0, 0).alpha(), 0);
}

// A vector picture arrives drawn at the avatar's kept size on the image threads, and an
// animation's frames at that size too: the window never draws a document, nor keeps a frame
// of the size a file declares.
TEST(AvatarViewTest, APictureArrivesAtTheSizeItIsKeptAt) {
    LoopbackImageServer server;
    server.serve("/me.svg", ImageAnswer::image("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"1000\" "
                                               "height=\"1000\"><rect width=\"1000\" height=\"1000\" "
                                               "fill=\"#0000ff\"/></svg>\n",
                                               "image/svg+xml"));
    AvatarView avatar(server.url(QStringLiteral("/me.svg")), 30);
    avatar.show();
    ASSERT_TRUE(waitUntil([&] { return !avatar.showsPlaceholder(); }));
    const images::Image picture = avatar.remoteImage()->imageManager()->image();
    EXPECT_FALSE(picture.isVector());
    EXPECT_LE(picture.bitmap().width(), 30 * AvatarView::keptPixelsPerPoint);
    EXPECT_LE(picture.bitmap().height(), 30 * AvatarView::keptPixelsPerPoint);
}

// An account whose projects could not be had is not an account without projects: a
// refused certificate (or any other failure) is named, with a way to try again.
TEST_F(SidebarViewTest, AFailedProjectLoadIsNamedNotShownAsNoProjects) {
    service->projects.answerError(
        APIError::failure(APIError::Cause::UntrustedCertificate).withHost(QStringLiteral("acme.example")));
    auto view = sidebar();
    viewModel.start();
    drainEvents();
    ASSERT_EQ(view->projectsContent(), view->projectsFailure());
    EXPECT_EQ(
        view->projectsFailure()->explanationLabel()->text(),
        QStringLiteral("The connection to acme.example was refused because its certificate isn't trusted."));

    service->projects.answer({makeProject(QStringLiteral("a"))});
    QTest::mouseClick(view->projectsFailure()->tryAgainButton(), Qt::LeftButton);
    drainEvents();
    EXPECT_EQ(view->projectsContent(), view->projectList());
    EXPECT_EQ(listedNames(*view), (QStringList{QStringLiteral("Project a")}));
}

// The focus ring of the selected row is drawn in the row's text colour: in the accent
// colour it would vanish into the row's own highlight.
TEST(NavigationLinkButtonTest, TheFocusRingShowsOnAHighlightedRow) {
    const QPalette colors = QApplication::palette();
    const auto key = NavigationLinkButton::look(colors, true, true);
    QImage image(120, 24, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    const QRectF row(0, 0, 120, 24);
    NavigationLinkButton::paintHighlight(painter, row, key);
    NavigationLinkButton::paintFocusRing(painter, row, colors, key);
    painter.end();
    int ring = 0;
    for (int x = 10; x < 110; ++x) {
        const QColor pixel = image.pixelColor(x, 1);
        if (std::abs(pixel.red() - key.foreground.red()) < 60 &&
            std::abs(pixel.green() - key.foreground.green()) < 60 &&
            std::abs(pixel.blue() - key.foreground.blue()) < 60) {
            ++ring;
        }
    }
    EXPECT_GT(ring, 90);
}
