#include "views/main/PlainText.h"

#include "platform/store/ProviderStore.h"
#include "state/ProjectViewModel.h"
#include "state/TimerViewModel.h"
#include "tests/state/FakeProviderService.h"
#include "tests/state/StateTestEnvironment.h"
#include "tests/support/EventLoop.h"
#include "views/main/CalendarEntryModel.h"
#include "views/main/ProjectListModel.h"
#include "views/main/ProjectTaskRowView.h"
#include "views/main/ProjectTaskView.h"
#include "views/main/ProjectTasksModel.h"
#include "views/main/ProjectTasksView.h"
#include "views/main/SidebarView.h"

#include <QHelpEvent>
#include <QLabel>
#include <QListView>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QToolTip>

#include <gtest/gtest.h>

using namespace velmora;
using namespace velmora::test;

namespace {

// What Qt shows for a tooltip or label text: rich text when the text looks like it.
QString asShown(const QString& text, Qt::TextFormat format = Qt::AutoText) {
    if (format == Qt::RichText || (format == Qt::AutoText && Qt::mightBeRichText(text))) {
        QTextDocument document;
        document.setHtml(text);
        return document.toPlainText();
    }
    return text;
}

QString shownBy(const QLabel* label) {
    return asShown(label->text(), label->textFormat());
}

// A name that Qt would take for markup, with an override that would reorder its end.
const QString hostile =
    QStringLiteral("<img src=\"/nonexistent.png\"><b>Invoice</b> \u202Egnp.exe\u202C & co");
// The same as it must read: every character but the bidirectional controls.
const QString shown = QStringLiteral("<img src=\"/nonexistent.png\"><b>Invoice</b> gnp.exe & co");

} // namespace

TEST(PlainText, NamesReadAsTheirCharactersWithoutReordering) {
    EXPECT_EQ(plainName(hostile), shown);
    EXPECT_EQ(plainName(QStringLiteral("a\u202Ab\u202Bc\u202Dd\u2066e\u2067f\u2068g\u2069h")), "abcdefgh");
    EXPECT_EQ(plainName(QStringLiteral("שלום \u200F world")), QStringLiteral("שלום \u200F world"))
        << "letters and marks that reorder nothing stay";

    EXPECT_EQ(asShown(plainToolTip(hostile)), shown);
    EXPECT_EQ(asShown(plainToolTip(QStringLiteral("a\nb"))), QStringLiteral("a\nb"));
    EXPECT_EQ(plainToolTip(QString()), QString()) << "no tooltip stays no tooltip";

    EXPECT_EQ(plainMenuText(QStringLiteral("R&D \u202Ex")), QStringLiteral("R&&D x"));

    QLabel label;
    label.setText(QStringLiteral("<b>was rich</b>"));
    setPlainText(&label, hostile);
    EXPECT_EQ(shownBy(&label), shown);
}

namespace {

class PlainNamesTest : public ::testing::Test {
protected:
    PlainNamesTest()
        : store(dir.filePath(QStringLiteral("Velmora.sqlite"))),
          account(QUuid::createUuid(), QStringLiteral("Work \u202Ex"),
                  JiraProvider::Parameters{QStringLiteral("cloud")}, ProviderState::operational,
                  ProviderUser{QStringLiteral("u1"), hostile, QString()}),
          service(std::make_shared<FakeProviderService>()), viewModel(account, service, env.environment()),
          timer(QStringLiteral("ACCOUNT"), env.environment()) {
        EXPECT_TRUE(store.insertProvider(toEntity(account)).ok());
        env.settings->setShowUnresolvedTasksByDefault(false);
        env.settings->setShowMyTasksByDefault(false);
        Project project = makeProject(QStringLiteral("p"));
        project.name = hostile;
        service->projects.answer({project});
        service->states.answer({});
        service->assignees.answer({});
        Issue task = makeIssue(QStringLiteral("1"));
        task.reference = QStringLiteral("A&B-1");
        task.name = hostile;
        task.assignee = User{QStringLiteral("u2"), hostile, std::nullopt};
        task.state = Issue::State{QStringLiteral("s"), hostile};
        service->tasks = {task};
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

// The sidebar's header and project list.
TEST_F(PlainNamesTest, TheSidebarShowsNamesAsText) {
    SidebarView view(viewModel, timer, account.id(), store);
    view.resize(SidebarView::columnWidth, 600);
    view.show();
    viewModel.start();
    ASSERT_TRUE(waitUntil([&] { return view.projectModel()->rowCount() == 1; }));
    EXPECT_EQ(shownBy(view.userNameLabel()), shown);
    EXPECT_EQ(shownBy(view.accountNameLabel()), QStringLiteral("Work x"));
    const QModelIndex row = view.projectModel()->index(0);
    EXPECT_EQ(row.data(Qt::DisplayRole).toString(), shown);
    EXPECT_EQ(asShown(row.data(Qt::ToolTipRole).toString()), shown);
}

// The task list's rows, their tooltips and the assignee's tooltip; the task's detail.
TEST_F(PlainNamesTest, TheTaskListAndDetailShowNamesAsText) {
    ProjectViewModel model(service, makeProject(QStringLiteral("p")), std::nullopt, env.environment());
    ASSERT_TRUE(waitUntil([&] { return model.tasks().size() == 1; }));
    ProjectTasksView list(model, &timer);
    list.resize(320, 300);
    list.show();
    drainEvents();
    const QModelIndex row = list.tasksModel()->index(0, 0);
    EXPECT_EQ(row.data(Qt::DisplayRole).toString(), shown);
    EXPECT_EQ(asShown(row.data(Qt::ToolTipRole).toString()), QStringLiteral("A&B-1 ") + shown);

    QListView* listView = &list;
    auto* delegate = qobject_cast<ProjectTaskRowView*>(listView->itemDelegate());
    ASSERT_NE(delegate, nullptr);
    QStyleOptionViewItem option;
    option.rect = listView->visualRect(row);
    const QPoint avatar = ProjectTaskRowView::avatarRect(option.rect).center();
    QHelpEvent help(QEvent::ToolTip, avatar, listView->viewport()->mapToGlobal(avatar));
    ASSERT_TRUE(delegate->helpEvent(&help, listView, option, row));
    EXPECT_EQ(asShown(QToolTip::text()), shown);
    QToolTip::hideText();

    ProjectTaskView detail(Project{}, model.tasks().front());
    EXPECT_EQ(shownBy(detail.nameLabel()), shown);
    EXPECT_EQ(shownBy(detail.assigneeValue()), shown);
    EXPECT_EQ(shownBy(detail.stateValue()), shown);
}
