#include "views/main/ProjectTasksView.h"
#include "core/model/NotificationNames.h"
#include "images/download/DecodeLanes.h"
#include "platform/notifications/NotificationCenter.h"
#include "state/ProjectViewModel.h"
#include "state/TimerViewModel.h"
#include "tests/state/FakeProviderService.h"
#include "tests/state/StateTestEnvironment.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LoopbackImageServer.h"
#include "views/main/Appearance.h"
#include "views/main/ProjectTaskRowView.h"
#include "views/main/ProjectTasksModel.h"

#include <QImage>
#include <QMenu>
#include <QPaintEvent>
#include <QPainter>
#include <QScopeGuard>
#include <QScrollBar>
#include <QTest>

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>

using namespace velmora;
using namespace velmora::test;

namespace {
class ProjectTasksViewTest : public ::testing::Test {
protected:
    ProjectTasksViewTest() {
        env.settings->setShowUnresolvedTasksByDefault(false);
        env.settings->setShowMyTasksByDefault(false);
        service->states.answer({});
        service->assignees.answer({});
        service->tasks = makeIssues(50);
        service->pageSize = 20;
    }

    std::unique_ptr<ProjectTasksView> list(Project project = makeProject(QStringLiteral("p"))) {
        model = std::make_unique<ProjectViewModel>(service, project, std::nullopt, env.environment());
        waitUntil([&] { return model->tasks().size() == 20; });
        auto view = std::make_unique<ProjectTasksView>(*model, &timer);
        view->resize(320, 300);
        view->show();
        drainEvents();
        return view;
    }

    StateTestEnvironment env;
    std::shared_ptr<FakeProviderService> service = std::make_shared<FakeProviderService>();
    TimerViewModel timer{QStringLiteral("ACCOUNT"), env.environment()};
    std::unique_ptr<ProjectViewModel> model;
};
} // namespace

TEST_F(ProjectTasksViewTest, TheLastRowAsksForTheNextPageOnceEachTimeItComesIntoView) {
    auto view = list();
    const auto requests = service->pageRequests.size();
    drainEvents();
    EXPECT_EQ(service->pageRequests.size(), requests) << "the last row is not in view yet";

    view->scrollToBottom();
    drainEvents();
    env.clock->advance(20); // the pause before asking for more
    ASSERT_TRUE(waitUntil([&] { return model->tasks().size() == 40; }));
    EXPECT_EQ(service->pageRequests.size(), requests + 1);
    EXPECT_EQ(view->tasksModel()->rowCount(), 40) << "no spinner row once the page is in";

    // Scrolling around without reaching the new last row asks for nothing.
    view->verticalScrollBar()->setValue(view->verticalScrollBar()->value() + 10);
    view->verticalScrollBar()->setValue(0);
    drainEvents();
    EXPECT_EQ(service->pageRequests.size(), requests + 1);

    view->scrollToBottom();
    drainEvents();
    env.clock->advance(20);
    ASSERT_TRUE(waitUntil([&] { return model->tasks().size() == 50; }));
    view->scrollToBottom();
    drainEvents();
    EXPECT_FALSE(model->hasMoreTasks());
    EXPECT_EQ(service->pageRequests.size(), requests + 2) << "no more pages, nothing asked";
}

TEST_F(ProjectTasksViewTest, ASpinnerRowShowsWhileThePageLoads) {
    service->holdPages = true;
    model = std::make_unique<ProjectViewModel>(service, makeProject(QStringLiteral("p")), std::nullopt,
                                               env.environment());
    drainEvents();
    service->completePage(0);
    drainEvents();
    ProjectTasksView view(*model, &timer);
    view.resize(320, 2000);
    view.show();
    ASSERT_TRUE(waitUntil([&] { return model->loadingMoreTasks(); }));
    EXPECT_EQ(view.tasksModel()->rowCount(), 21);
    EXPECT_TRUE(view.tasksModel()->index(20).data(ProjectTasksModel::SpinnerRole).toBool());
    env.clock->advance(20); // the pause before asking for more
    ASSERT_TRUE(waitUntil([&] { return service->waitingPages() == 1; }));
    service->completePage(1);
    drainEvents();
    EXPECT_EQ(view.tasksModel()->taskCount(), 40);
}

TEST_F(ProjectTasksViewTest, SelectionIsTheViewModelsTaskBothWays) {
    auto view = list();
    EXPECT_EQ(view->currentIndex().row(), 0);
    const QRect third = view->visualRect(view->tasksModel()->index(2));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, third.center());
    ASSERT_TRUE(model->task().has_value());
    EXPECT_EQ(model->task()->id, "3");
    model->setTask(model->tasks()[5]);
    EXPECT_EQ(view->currentIndex().row(), 5);
}

TEST_F(ProjectTasksViewTest, AddWorkLogAsksForABookingOfTheClickedTask) {
    auto view = list();
    std::vector<std::optional<QString>> posted;
    auto token = NotificationCenter::defaultCenter().addObserver(
        NotificationName::addManualWorkLog, [&](const Notification& notification) {
            const Issue* task = notification.objectAs<Issue>();
            posted.push_back(task ? std::optional<QString>(task->id) : std::nullopt);
        });
    const QRect second = view->visualRect(view->tasksModel()->index(1));
    std::unique_ptr<QMenu> menu(view->makeContextMenu(second.center()));
    ASSERT_EQ(menu->actions().size(), 1);
    EXPECT_EQ(menu->actions()[0]->text(), "Add work log");
    EXPECT_TRUE(menu->actions()[0]->isEnabled());
    menu->actions()[0]->trigger();
    std::unique_ptr<QMenu> empty(view->makeContextMenu(QPoint(5, 5000)));
    empty->actions()[0]->trigger();
    EXPECT_EQ(posted, (std::vector<std::optional<QString>>{QStringLiteral("2"), std::nullopt}));

    Project untracked = makeProject(QStringLiteral("q"));
    untracked.configuration.timeTrackingEnabled = false;
    auto other = list(untracked);
    std::unique_ptr<QMenu> disabled(other->makeContextMenu(QPoint(5, 5)));
    EXPECT_FALSE(disabled->actions()[0]->isEnabled());
}

// The selected row of the key window is the strongest highlight of the list; its
// text is read on it as on any other ground.
TEST_F(ProjectTasksViewTest, TheSelectedRowsTextReadsOnItsHighlight) {
    auto view = list();
    const QModelIndex first = view->model()->index(0, 0);
    QStyleOptionViewItem option;
    option.initFrom(view->viewport());
    option.font = view->font();
    option.state |= QStyle::State_Selected | QStyle::State_Active | QStyle::State_Enabled;
    option.rect =
        QRect(QPoint(0, 0), view->itemDelegate()->sizeHint(option, first).expandedTo(QSize(300, 0)));
    QImage row(option.rect.size(), QImage::Format_RGB32);
    row.fill(option.palette.color(QPalette::Base));
    {
        QPainter painter(&row);
        view->itemDelegate()->paint(&painter, option, first);
    }
    // The highlight under the text, below the last line (inside its rounded corners).
    const QColor highlight = row.pixelColor(option.rect.center().x(), option.rect.bottom() - 2);
    EXPECT_NE(highlight, option.palette.color(QPalette::Base)) << "the row is highlighted";
    const QColor text = option.palette.color(QPalette::HighlightedText);
    EXPECT_GE(Appearance::contrast(text, highlight), Appearance::minimumContrast)
        << text.name().toStdString() << " on " << highlight.name().toStdString();
}

// The row the keyboard is on shows a ring, selected or not (Tab into the list makes a row
// current without choosing it).
TEST_F(ProjectTasksViewTest, TheRowTheKeyboardIsOnShowsItsRing) {
    auto view = list();
    const QModelIndex first = view->model()->index(0, 0);
    for (const bool selected : {false, true}) {
        QStyleOptionViewItem option;
        option.initFrom(view->viewport());
        option.font = view->font();
        option.state |= QStyle::State_HasFocus | QStyle::State_Active | QStyle::State_Enabled;
        if (selected) {
            option.state |= QStyle::State_Selected;
        }
        option.rect =
            QRect(QPoint(0, 0), view->itemDelegate()->sizeHint(option, first).expandedTo(QSize(300, 0)));
        QImage row(option.rect.size(), QImage::Format_RGB32);
        row.fill(option.palette.color(QPalette::Base));
        {
            QPainter painter(&row);
            view->itemDelegate()->paint(&painter, option, first);
        }
        // Along the row's top edge, away from its rounded corners, the ring stands out of what is under it.
        const QColor under =
            selected ? Appearance::accent(option.palette) : option.palette.color(QPalette::Base);
        int ring = 0;
        for (int x = 12; x < row.width() - 12; ++x) {
            for (int y = 0; y < 7; ++y) {
                const QColor pixel = row.pixelColor(x, y);
                if (std::abs(pixel.red() - under.red()) + std::abs(pixel.green() - under.green()) +
                        std::abs(pixel.blue() - under.blue()) >
                    90) {
                    ++ring;
                    break;
                }
            }
        }
        EXPECT_GT(ring, (row.width() - 24) / 2) << (selected ? "selected" : "not selected");
    }
}

TEST(ProjectTaskRowView, FillsTheMissingFactsWithTheirPlaceholders) {
    Issue task;
    task.id = QStringLiteral("1");
    task.name = QStringLiteral("Name");
    EXPECT_EQ(ProjectTaskRowView::stateText(task), "Unknown");
    EXPECT_EQ(ProjectTaskRowView::spentTimeText(task), "No Spent Time");
    task.state = Issue::State{QStringLiteral("s"), QStringLiteral("Open")};
    task.spentTime = QStringLiteral("1h 5m");
    EXPECT_EQ(ProjectTaskRowView::stateText(task), "Open");
    EXPECT_EQ(ProjectTaskRowView::spentTimeText(task), "1h 5m");
}

namespace {
// Collects what the list's viewport is asked to paint.
class PaintRecorder : public QObject {
public:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            painted += static_cast<QPaintEvent*>(event)->region();
        }
        return false;
    }
    QRegion painted;
};
} // namespace

TEST_F(ProjectTasksViewTest, AvatarsLoadOncePerAddressAndRepaintOnlyTheirRows) {
    LoopbackImageServer server;
    server.serve("/ann.png", ImageAnswer::image(LoopbackImageServer::png(8, 8, Qt::blue)));
    server.serve("/bob.png", ImageAnswer::image(LoopbackImageServer::png(8, 8, Qt::green)));
    server.hold("/ann.png");
    server.hold("/bob.png");
    const QUrl ann = server.url(QStringLiteral("/ann.png"));
    const QUrl bob = server.url(QStringLiteral("/bob.png"));
    const QUrl unreachable(QStringLiteral("https://127.0.0.1:1/cid.png"));
    auto assign = [&](int row, std::optional<QString> avatar) {
        service->tasks[row].assignee =
            User{QStringLiteral("u%1").arg(row), QStringLiteral("N"), std::move(avatar)};
    };
    assign(0, ann.toString());
    assign(1, bob.toString());
    assign(2, ann.toString());
    assign(3, unreachable.toString());
    assign(4, std::nullopt);

    auto view = list();
    ProjectTaskRowView* rows = view->rowView();
    auto avatarPixel = [&](int row) {
        const QImage shown = view->viewport()->grab().toImage();
        const QRect avatar = ProjectTaskRowView::avatarRect(view->visualRect(view->tasksModel()->index(row)));
        return shown.pixelColor(avatar.center() * shown.devicePixelRatio());
    };
    ASSERT_TRUE(
        waitUntil([&] { return server.heldCount("/ann.png") == 1 && server.heldCount("/bob.png") == 1; }));
    view->viewport()->repaint();
    drainEvents();
    EXPECT_EQ(server.requestCount("/ann.png"), 1) << "two rows and several paints, one load";
    EXPECT_TRUE(rows->isLoadingAvatar(ann));
    EXPECT_NE(avatarPixel(0), QColor(Qt::blue)) << "the placeholder until the picture comes";
    EXPECT_FALSE(ProjectTaskRowView::avatarUrl(*view->tasksModel()->taskAt(4)).has_value());

    PaintRecorder recorder;
    view->viewport()->installEventFilter(&recorder);
    server.release("/ann.png");
    ASSERT_TRUE(waitUntil([&] { return !rows->isLoadingAvatar(ann); }));
    drainEvents();
    const auto rowRect = [&](int row) { return view->visualRect(view->tasksModel()->index(row)); };
    EXPECT_TRUE(recorder.painted.contains(rowRect(0)));
    EXPECT_TRUE(recorder.painted.contains(rowRect(2)));
    EXPECT_FALSE(recorder.painted.intersects(rowRect(1))) << "a row with another avatar is left alone";
    EXPECT_EQ(avatarPixel(0), QColor(Qt::blue));
    EXPECT_EQ(avatarPixel(2), QColor(Qt::blue));
    EXPECT_NE(avatarPixel(1), QColor(Qt::green));

    server.release("/bob.png");
    ASSERT_TRUE(waitUntil([&] { return !rows->avatarImage(bob).isNull(); }));
    drainEvents();
    EXPECT_EQ(avatarPixel(1), QColor(Qt::green));
    EXPECT_EQ(server.requestCount("/ann.png"), 1);

    // An address that cannot be had keeps the placeholder; a network may answer otherwise
    // later, so a later paint asks again (after the downloader's growing delay), and that try
    // ends the same way.
    ASSERT_TRUE(waitUntil([&] { return !rows->isLoadingAvatar(unreachable); }));
    EXPECT_TRUE(rows->avatarImage(unreachable).isNull());
    view->viewport()->repaint();
    ASSERT_TRUE(waitUntil([&] { return !rows->isLoadingAvatar(unreachable); }, 20000));
    EXPECT_TRUE(rows->avatarImage(unreachable).isNull());
}

TEST_F(ProjectTasksViewTest, AnAvatarNotDrawnNowIsAskedForAgainWhenItsRowIsPaintedAgain) {
    LoopbackImageServer server;
    server.serve("/dee.png", ImageAnswer::image(LoopbackImageServer::png(8, 8, Qt::magenta)));
    const QUrl dee = server.url(QStringLiteral("/dee.png"));
    service->tasks[0].assignee = User{QStringLiteral("u0"), QStringLiteral("N"), dee.toString()};

    // Every decode place is held until let go, so the avatar's decode waits for one.
    images::DecodeLanes& lanes = images::DecodeLanes::shared();
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    int holding = 0;
    int ended = 0;
    const auto letGo = qScopeGuard([&] {
        std::unique_lock lock(mutex);
        open = true;
        changed.notify_all();
        changed.wait_for(lock, std::chrono::seconds(30), [&] { return ended == holding; });
    });
    const auto hold = [&](bool giveUpQuickTry) {
        return [&, giveUpQuickTry](images::DecodeLanes::Lane lane) {
            if (giveUpQuickTry && lane == images::DecodeLanes::Lane::Quick) {
                return false;
            }
            std::unique_lock lock(mutex);
            ++holding;
            changed.notify_all();
            changed.wait(lock, [&] { return open; });
            ++ended;
            changed.notify_all();
            return true;
        };
    };
    for (int i = 0; i < lanes.costlySlots() + lanes.quickSlots(); ++i) {
        lanes.submit(hold(i < lanes.costlySlots()));
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return holding == i + 1; }));
    }

    auto view = list();
    ProjectTaskRowView* rows = view->rowView();
    ASSERT_TRUE(waitUntil([&] { return server.requestCount("/dee.png") == 1; }));
    ASSERT_TRUE(waitUntil([&] { return lanes.waitingBytes() > 0; }));
    // Decodes asked for later need the room of the waiting ones: the avatar is not drawn now.
    lanes.submit([](images::DecodeLanes::Lane) { return true; }, lanes.waitingBytesBudget());
    ASSERT_TRUE(waitUntil([&] { return !rows->isLoadingAvatar(dee); }));
    EXPECT_EQ(server.requestCount("/dee.png"), 1) << "not asked again before its row is painted again";
    // Painted again, it is asked for again and drawn from the bytes kept of it, which are not
    // downloaded again.
    view->viewport()->repaint();
    ASSERT_TRUE(waitUntil([&] { return !rows->avatarImage(dee).isNull(); }, 20000));
    EXPECT_EQ(server.requestCount("/dee.png"), 1);
}

// A long project's tasks are held once: the rows read the state's own list, which gives
// back the room it kept for further pages once the last page is in.
TEST_F(ProjectTasksViewTest, ALoadedProjectsTasksAreHeldOnce) {
    auto view = list();
    for (const std::size_t wanted : {40u, 50u}) {
        view->scrollToBottom();
        drainEvents();
        env.clock->advance(20);
        ASSERT_TRUE(waitUntil([&] { return model->tasks().size() == wanted; }));
    }
    ASSERT_FALSE(model->hasMoreTasks());
    const ProjectTasksModel* rows = view->tasksModel();
    ASSERT_EQ(rows->taskCount(), 50);
    for (int row = 0; row < rows->taskCount(); ++row) {
        EXPECT_EQ(rows->taskAt(row), &model->tasks()[static_cast<std::size_t>(row)]) << row;
    }
    EXPECT_EQ(model->tasks().capacity(), model->tasks().size());
}

// A reload whose first page holds the shown tasks and more keeps the rows (and the
// selection) and shows what the tasks read now.
TEST_F(ProjectTasksViewTest, AReloadThatExtendsTheListShowsTheTasksNewValues) {
    service->tasks = makeIssues(10);
    auto view = std::make_unique<ProjectTasksView>(
        *(model = std::make_unique<ProjectViewModel>(service, makeProject(QStringLiteral("p")), std::nullopt,
                                                     env.environment())),
        &timer);
    ASSERT_TRUE(waitUntil([&] { return model->tasks().size() == 10; }));
    view->show();
    drainEvents();
    ProjectTasksModel* rows = view->tasksModel();
    ASSERT_EQ(rows->taskCount(), 10);

    service->tasks = makeIssues(15);
    service->tasks[3].name = QStringLiteral("Renamed meanwhile");
    int resets = 0;
    bool renamedRowRepainted = false;
    QObject::connect(rows, &QAbstractItemModel::modelReset, [&] { ++resets; });
    QObject::connect(rows, &QAbstractItemModel::dataChanged, [&](const QModelIndex& from, const QModelIndex& to) {
        renamedRowRepainted = renamedRowRepainted || (from.row() <= 3 && to.row() >= 3);
    });
    model->refresh(false);
    ASSERT_TRUE(waitUntil([&] { return model->tasks().size() == 15; }));
    drainEvents();
    EXPECT_EQ(resets, 0) << "the rows shown stay";
    EXPECT_EQ(rows->taskCount(), 15);
    EXPECT_EQ(rows->data(rows->index(3)).toString(), QStringLiteral("Renamed meanwhile"));
    EXPECT_TRUE(renamedRowRepainted);
}
