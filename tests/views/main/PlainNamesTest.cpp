#include "views/main/PlainText.h"

#include "platform/richtext/OutsideToolTip.h"
#include "platform/store/ProviderStore.h"
#include "state/ProjectViewModel.h"
#include "state/TimerViewModel.h"
#include "tests/state/FakeProviderService.h"
#include "tests/state/StateTestEnvironment.h"
#include "tests/support/DesktopText.h"
#include "tests/support/EventLoop.h"
#include "tests/support/MarksPerLetter.h"
#include "tests/support/TestData.h"
#include "tests/support/ThreadCpuClock.h"
#include "views/main/CalendarEntryCard.h"
#include "views/main/CalendarEntryModel.h"
#include "views/main/ProjectLinkView.h"
#include "views/main/ProjectListModel.h"
#include "views/main/ProjectTaskRowView.h"
#include "views/main/ProjectTaskView.h"
#include "views/main/ProjectTasksModel.h"
#include "views/main/ProjectTasksView.h"
#include "views/main/SidebarView.h"

#include <QApplication>
#include <QHelpEvent>
#include <QImage>
#include <QLabel>
#include <QListView>
#include <QPainter>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QToolTip>

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <functional>
#include <limits>

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
    EXPECT_EQ(plainName(QStringLiteral("שלום world")), QStringLiteral("שלום world"))
        << "letters of either direction stay";

    EXPECT_EQ(asShown(plainToolTip(hostile)), shown);
    EXPECT_EQ(asShown(plainToolTip(QStringLiteral("a\nb"))), QStringLiteral("a b"));
    EXPECT_EQ(plainToolTip(QString()), QString()) << "no tooltip stays no tooltip";

    EXPECT_EQ(plainMenuText(QStringLiteral("R&D \u202Ex")), QStringLiteral("R&&D x"));

    QLabel label;
    label.setText(QStringLiteral("<b>was rich</b>"));
    setPlainText(&label, hostile);
    EXPECT_EQ(shownBy(&label), shown);
}

namespace {

using CpuClock = ThreadCpuClock;

constexpr qint64 budget(qint64 milliseconds) {
    return cpuBudget(milliseconds);
}

QString repeated(const QString& part, qsizetype times) {
    return part.repeated(times);
}

// Names a server could send, each of which drew far outside its row or took seconds to
// lay out before names were bounded.
QList<QString> hostileNames() {
    return {
        repeated(QStringLiteral("Fix\n"), 100000),
        QStringLiteral("a") + repeated(QStringLiteral("\u0301"), 100000),
        repeated(QStringLiteral("Z\u0301\u0302\u0303\u0304\u0305\u0306\u0307\u0308"), 20000),
        repeated(QStringLiteral("\u200B\u2028\u00AD\u2060"), 100000) + QStringLiteral("end"),
        repeated(QStringLiteral("<b>wide</b> "), 10000),
        // About 10 MB of text.
        QString(5000000, QChar(u'W')),
    };
}

} // namespace

TEST(PlainText, NamesAreOneLineWithoutControlsOrInvisibleCharacters) {
    // Line breaks of every kind read as one space; none is left at either end.
    EXPECT_EQ(plainName(QStringLiteral("Fix\nthe\r\nheader\u2028now\u2029please")),
              QStringLiteral("Fix the header now please"));
    EXPECT_EQ(plainName(QStringLiteral("\n\nFix\n\n\n\nit\n")), QStringLiteral("Fix it"));
    EXPECT_EQ(plainName(QStringLiteral("a\tb\vc\fd\u0085e")), QStringLiteral("a b c d e"));

    // Controls, NUL among them, are dropped.
    EXPECT_EQ(plainName(QStringLiteral("a") + QChar(0) + QStringLiteral("b\u0001\u001B[31mc\u007F\u009Bd")),
              QStringLiteral("ab[31mcd"));

    // Characters that take no room, join, or hide: none of them is shown.
    EXPECT_EQ(plainName(QStringLiteral(
                  "P\u200Ba\u200Cy\u200Dr\u2060o\uFEFFl\u00ADl\u034F \u3164x\uFFF9y\uFFFAz\uFFFB")),
              QStringLiteral("Payroll xyz"));
    // The tag characters, past the first plane.
    QString tagged = QStringLiteral("Flag");
    for (char32_t tag : {0xE0001u, 0xE0067u, 0xE0062u, 0xE007Fu, 0xE0000u}) {
        tagged += QString::fromUcs4(&tag, 1);
    }
    EXPECT_EQ(plainName(tagged), QStringLiteral("Flag"));

    // Direction marks too: a name reads in the order of its own letters.
    EXPECT_EQ(plainName(QStringLiteral("\u200Fabc\u200E\u061Cdef")), QStringLiteral("abcdef"));

    // A half of a surrogate pair alone is no character.
    EXPECT_EQ(plainName(QStringLiteral("a") + QChar(0xD800) + QStringLiteral("b") + QChar(0xDC00)),
              QStringLiteral("ab"));

    // What a name normally holds stays: other scripts, emoji, accents, spaces.
    const QString ordinary = QStringLiteral("Überprüfung 設計 שלום 😀 e\u0301 — a  b");
    EXPECT_EQ(plainName(ordinary), ordinary);

    // Tooltips and menu items hold the same one line.
    EXPECT_EQ(asShown(plainToolTip(QStringLiteral("a\nb\u200Bc"))), QStringLiteral("a bc"));
    EXPECT_EQ(plainMenuText(QStringLiteral("R&D\nteam")), QStringLiteral("R&&D team"));
}

TEST(PlainText, ALetterKeepsAFewCombiningMarks) {
    const QString marks = QStringLiteral("\u0301\u0302\u0303\u0304\u0305\u0306\u0307\u0308");
    const QString kept = plainName(QStringLiteral("a") + marks + QStringLiteral("b") + marks);
    EXPECT_EQ(kept, QStringLiteral("a") + marks.left(plainMarksPerLetter) + QStringLiteral("b") +
                        marks.left(plainMarksPerLetter));
    // Marks the scripts need stay: Vietnamese, Devanagari, Hebrew points.
    for (const QString& name :
         {QStringLiteral("Vie\u0323\u0302t"), QStringLiteral("\u0915\u094D\u0937\u093F"),
          QStringLiteral("\u05E9\u05C1\u05B8\u05DC")}) {
        EXPECT_EQ(plainName(name), name);
    }
    // Marks after nothing at all are capped the same way.
    EXPECT_EQ(plainName(marks).size(), plainMarksPerLetter);
    // Joiners between the marks start no new letter: they are dropped, and the marks
    // still count on the letter before them.
    for (const char16_t joiner : {u'\u200C', u'\u200D'}) {
        EXPECT_EQ(plainName(QStringLiteral("a") + (QStringLiteral("\u0301") + QChar(joiner)).repeated(50)),
                  QStringLiteral("a") + QStringLiteral("\u0301").repeated(plainMarksPerLetter));
    }
}

// What takes no room though Qt's Unicode names it no format character (the code points it leaves
// unassigned in the default-ignorable stretches, the fillers) is no more shown in a name
// than a joiner is: "pay" U+2065 "pal" drew exactly as "paypal". Marks between such characters
// still count on the letter before them.
TEST(PlainText, NamesDropWhateverTakesNoRoom) {
    for (const char32_t c : charactersThatTakeNoRoom()) {
        EXPECT_EQ(plainName(QStringLiteral("pay") + QString::fromUcs4(&c, 1) + QStringLiteral("pal")),
                  QStringLiteral("paypal"))
            << "U+" << QString::number(c, 16).toStdString();
        EXPECT_EQ(plainName(QStringLiteral("a") +
                            (QStringLiteral("\u0301") + QString::fromUcs4(&c, 1)).repeated(50) +
                            QStringLiteral("b")),
                  QStringLiteral("a") + QStringLiteral("\u0301").repeated(plainMarksPerLetter) +
                      QStringLiteral("b"))
            << "U+" << QString::number(c, 16).toStdString();
    }
    // Private use draws a character of its own (icon fonts use it), with its marks.
    const QString privateUse = QStringLiteral("a\uE000\u0301\uE000\u0301b");
    EXPECT_EQ(plainName(privateUse), privateUse);
    // Variation selectors are marks a picture needs, not characters that take no room.
    const QString heart = QStringLiteral("\u2764\uFE0F done");
    EXPECT_EQ(plainName(heart), heart);
}

TEST(PlainText, NamesAndTooltipsAreCutToABoundedLengthWithAnEllipsis) {
    const QString fits = QString(plainNameLength, QChar(u'x'));
    EXPECT_EQ(plainName(fits), fits) << "a name of the full length is whole";
    const QString cut = plainName(fits + QStringLiteral("y"));
    EXPECT_EQ(cut.size(), plainNameLength);
    EXPECT_TRUE(cut.endsWith(QChar(0x2026)));
    EXPECT_TRUE(cut.startsWith(QString(plainNameLength - 1, QChar(u'x'))));

    // The cut never splits a character of two code units.
    const QString emoji = QStringLiteral("😀").repeated(plainNameLength);
    const QString cutEmoji = plainName(emoji);
    EXPECT_LE(cutEmoji.size(), plainNameLength);
    EXPECT_TRUE(cutEmoji.endsWith(QChar(0x2026)));
    EXPECT_TRUE(cutEmoji.chopped(1).isValidUtf16());

    // Invisible characters neither count nor hide that the name goes on.
    EXPECT_EQ(plainName(QStringLiteral("\u200B").repeated(10000) + QStringLiteral("abc")).back(),
              QChar(0x2026));
    EXPECT_EQ(plainName(QStringLiteral("abc") + QStringLiteral("\u200B").repeated(100)),
              QStringLiteral("abc"));

    // Bounding twice changes nothing: rows bound what their model already bounded.
    for (const QString& name : hostileNames()) {
        const QString once = plainName(name);
        EXPECT_LE(once.size(), plainNameLength);
        EXPECT_EQ(plainName(once), once);
    }

    // A tooltip shows more than a row, but not everything either.
    const QString tip = asShown(plainToolTip(QString(100000, QChar(u't'))));
    EXPECT_GT(tip.size(), plainNameLength);
    EXPECT_LE(tip.size(), plainToolTipLength);
    EXPECT_TRUE(tip.endsWith(QChar(0x2026)));
    EXPECT_LE(plainMenuText(QString(100000, QChar(u'm'))).size(), plainNameLength);
}

// Bounding a name costs what bounding an ordinary one of the length a row shows costs, whatever it
// holds (10 MB, a line break or a mark a character, zero-width spaces): it looks at no more of it
// than it could show. Measured in turns against the ordinary names, each the least of a few
// rounds, so that a busy machine slows both alike.
TEST(PlainText, BoundingANameCostsLittleWhateverItHolds) {
    const QList<QString> names = hostileNames() + QList<QString>{
                                                      QString(5000000, QChar(0x200B)),
                                                      QString(5000000, QChar(u'\n')),
                                                      QString(5000000, QChar(0x0301)),
                                                  };
    const QString ordinary = QStringLiteral("Fix the importer for large files ").repeated(10);
    // The fonts of the names found first, as any window of the app has by then.
    for (const QString& name : names) {
        plainName(name);
        plainToolTip(name);
    }
    plainToolTip(ordinary);
    auto least = [](const std::function<void()>& work) {
        CpuClock clock;
        work();
        return clock.elapsedMicroseconds();
    };
    qint64 hostile = std::numeric_limits<qint64>::max();
    qint64 plain = std::numeric_limits<qint64>::max();
    qint64 hostileTips = std::numeric_limits<qint64>::max();
    qint64 plainTips = std::numeric_limits<qint64>::max();
    for (int round = 0; round < 5; ++round) {
        plain = std::min(plain, least([&] {
            for (int row = 0; row < 10 * names.size(); ++row) {
                plainName(ordinary);
            }
        }));
        hostile = std::min(hostile, least([&] {
            for (int row = 0; row < 10; ++row) {
                for (const QString& name : names) {
                    plainName(name);
                }
            }
        }));
        plainTips = std::min(plainTips, least([&] {
            for (int tip = 0; tip < 2 * names.size(); ++tip) {
                plainToolTip(ordinary);
            }
        }));
        hostileTips = std::min(hostileTips, least([&] {
            for (int tip = 0; tip < 2; ++tip) {
                for (const QString& name : names) {
                    plainToolTip(name);
                }
            }
        }));
    }
    // A name read whole costs hundreds of times as much; the sanitizers make a few times of it.
    EXPECT_LT(hostile, 8 * plain + 200) << "10 rows of each of these names, against " << plain
                                        << " µs for as many ordinary ones";
    EXPECT_LT(hostileTips, 8 * plainTips + 200) << "2 tooltips of each of these names, against " << plainTips
                                                << " µs for as many ordinary ones";
}

// The calendar's entries: the task and the tracker's wording of its time.
TEST(PlainText, CalendarEntriesShowTheirTaskAndTimeAsOneBoundedLine) {
    WorkEntry entry;
    entry.issue = makeIssue(QStringLiteral("1"));
    entry.issue.reference.reset();
    entry.issue.name = QStringLiteral("Fix\nit ") + QString(100000, QChar(u'x'));
    entry.spentTime = QStringLiteral("1h\n30m\u200B");
    CalendarEntryModel model;
    model.setEntries({entry});
    const QModelIndex index = model.index(0);
    EXPECT_EQ(index.data(CalendarEntryModel::SpentTimeRole).toString(), QStringLiteral("1h 30m"));
    const QString label = index.data(CalendarEntryModel::TaskLabelRole).toString();
    EXPECT_TRUE(label.startsWith(QStringLiteral("Fix it x")));
    EXPECT_LE(label.size(), plainNameLength);
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
    EXPECT_EQ(OutsideToolTip::text(), shown);
    OutsideToolTip::hideText();

    ProjectTaskView detail(Project{}, model.tasks().front());
    EXPECT_EQ(shownBy(detail.nameLabel()), shown);
    EXPECT_EQ(shownBy(detail.assigneeValue()), shown);
    EXPECT_EQ(shownBy(detail.stateValue()), shown);
}

namespace {

// The rows of `list` painted one under another, as the view paints them; returns the
// thread's CPU time it took in milliseconds.
qint64 paintRows(ProjectTasksView& list, QImage& canvas, int rows) {
    QListView* view = &list;
    QAbstractItemDelegate* delegate = view->itemDelegate();
    const int count = list.tasksModel()->rowCount();
    QPainter painter(&canvas);
    QStyleOptionViewItem option;
    option.initFrom(view->viewport());
    option.font = view->font();
    const int height = delegate->sizeHint(option, list.tasksModel()->index(0, 0)).height();
    CpuClock clock;
    for (int row = 0; row < rows; ++row) {
        option.rect = QRect(0, (row % 8) * height, canvas.width(), height);
        delegate->paint(&painter, option, list.tasksModel()->index(row % count, 0));
    }
    return clock.elapsed();
}

} // namespace

// A task row shows one line of name, however many lines the name has, draws nothing
// outside itself, and paints at once.
TEST_F(PlainNamesTest, TaskRowsDrawHostileNamesOnOneLineInsideTheRowAndQuickly) {
    const QList<QString> names = hostileNames();
    service->tasks.clear();
    for (int i = 0; i < 100; ++i) {
        Issue task = makeIssue(QString::number(i));
        task.name = names[i % names.size()];
        task.state = Issue::State{QStringLiteral("s"), names[(i + 1) % names.size()]};
        task.spentTime = names[(i + 2) % names.size()];
        if (i % 2 == 0) {
            task.reference.reset();
        }
        service->tasks.push_back(task);
    }
    service->pageSize = 100;
    ProjectViewModel model(service, makeProject(QStringLiteral("p")), std::nullopt, env.environment());
    ASSERT_TRUE(waitUntil([&] { return model.tasks().size() == 100; }));
    ProjectTasksView list(model, &timer);
    list.resize(320, 300);
    list.show();
    drainEvents();
    QAbstractItemModel* rows = list.tasksModel();
    ASSERT_EQ(rows->rowCount(), 100);

    // What the model hands out is one bounded line.
    for (int row = 0; row < rows->rowCount(); ++row) {
        const QString name = rows->index(row, 0).data(Qt::DisplayRole).toString();
        EXPECT_FALSE(name.contains(QChar(u'\n'))) << row;
        EXPECT_LE(name.size(), plainNameLength) << row;
        const QString tip = asShown(rows->index(row, 0).data(Qt::ToolTipRole).toString());
        EXPECT_LE(tip.size(), plainToolTipLength) << row;
    }

    // Nothing of a row is drawn outside it: a row between two blank ones leaves them blank.
    QListView* view = &list;
    QStyleOptionViewItem option;
    option.initFrom(view->viewport());
    option.font = view->font();
    const int height = view->itemDelegate()->sizeHint(option, rows->index(0, 0)).height();
    for (int row = 0; row < names.size() * 2; ++row) {
        QImage canvas(320, height * 3, QImage::Format_RGB32);
        canvas.fill(Qt::white);
        {
            QPainter painter(&canvas);
            option.rect = QRect(0, height, canvas.width(), height);
            view->itemDelegate()->paint(&painter, option, rows->index(row, 0));
        }
        int outside = 0;
        for (int y = 0; y < canvas.height(); ++y) {
            if (y >= height && y < 2 * height) {
                continue;
            }
            for (int x = 0; x < canvas.width(); ++x) {
                outside += canvas.pixel(x, y) != qRgb(255, 255, 255);
            }
        }
        EXPECT_EQ(outside, 0) << "row " << row << " drew outside itself";
    }

    // The row draws a name with line breaks as the one line the breaks fold into.
    auto picture = [&](const QString& name) {
        Issue task = makeIssue(QStringLiteral("x"));
        task.name = name;
        service->tasks = {task};
        ProjectViewModel one(service, makeProject(QStringLiteral("p")), std::nullopt, env.environment());
        EXPECT_TRUE(waitUntil([&] { return one.tasks().size() == 1; }));
        ProjectTasksModel oneRow(one, &timer);
        QImage image(320, height * 3, QImage::Format_RGB32);
        image.fill(Qt::white);
        QPainter painter(&image);
        option.rect = QRect(0, height, image.width(), height);
        view->itemDelegate()->paint(&painter, option, oneRow.index(0, 0));
        return image;
    };
    EXPECT_EQ(picture(QStringLiteral("Fix\nthe\r\nheader\u2028\u200B")),
              picture(QStringLiteral("Fix the header")));

    // 100 rows paint in well under a frame or two. The first round fills the font caches;
    // the best of a few rounds is the cost, without what other work on the machine added.
    QImage canvas(320, height * 8, QImage::Format_RGB32);
    canvas.fill(Qt::white);
    paintRows(list, canvas, 100);
    qint64 best = std::numeric_limits<qint64>::max();
    for (int round = 0; round < 5; ++round) {
        best = std::min(best, paintRows(list, canvas, 100));
    }
    // The task list benchmark holds 20 ms in an optimised build, which these rows missed once
    // names were bounded to keep what their scripts need (22 to 35 ms, against 19 to 31 before):
    // each paint laid every line out again. A row paints what it laid out, in 9 ms for the 100.
    EXPECT_LT(best, budget(20));
}

// A row paints what it laid out when it was first painted: Qt shapes a line again at every
// paint, and a colour glyph decodes its picture each time, so a task named with 75 flags cost
// 23 to 44 ms every time its row was painted. Rows of plain names paint as quickly as before.
TEST_F(PlainNamesTest, TaskRowsPaintWhatTheyLaidOut) {
    ASSERT_TRUE(colourEmojiFontDrawsEmoji());
    service->tasks.clear();
    const auto names = desktopFontNames();
    for (std::size_t i = 0; i < names.size(); ++i) {
        Issue task = makeIssue(QString::number(i));
        task.name = names[i].second;
        task.state = Issue::State{QStringLiteral("s"), names[i].second};
        if (i % 2 == 0) {
            task.reference.reset();
        }
        service->tasks.push_back(task);
    }
    ProjectViewModel model(service, makeProject(QStringLiteral("p")), std::nullopt, env.environment());
    ASSERT_TRUE(waitUntil([&] { return model.tasks().size() == names.size(); }));
    ProjectTasksView list(model, &timer);
    list.resize(320, 300);
    list.show();
    drainEvents();
    QListView* view = &list;
    QStyleOptionViewItem option;
    option.initFrom(view->viewport());
    option.font = view->font();
    const int height = view->itemDelegate()->sizeHint(option, list.tasksModel()->index(0, 0)).height();
    option.rect = QRect(0, 0, 320, height);
    QImage canvas(320, height, QImage::Format_RGB32);
    // A delegate of its own: the list's has painted the rows it shows already.
    ProjectTaskRowView rows;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const QModelIndex row = list.tasksModel()->index(static_cast<int>(i), 0);
        auto paint = [&] {
            QPainter painter(&canvas);
            rows.paint(&painter, option, row);
        };
        CpuClock clock;
        paint();
        const qint64 first = clock.elapsedMicroseconds();
        qint64 again = std::numeric_limits<qint64>::max();
        for (int round = 0; round < 5; ++round) {
            clock.restart();
            paint();
            again = std::min(again, clock.elapsedMicroseconds());
        }
        EXPECT_LT(again, budget(4) * 1000)
            << names[i].first.toStdString() << ": first paint " << first << " us";
        // Latin letters cost too little for a layout kept to show beside a paint's own cost.
        if (names[i].first != QStringLiteral("latin") &&
            names[i].first != QStringLiteral("unbroken-letters")) {
            EXPECT_LT(again * 4, first)
                << names[i].first.toStdString() << ": painted again against the first";
        }
    }
}

namespace {

// What a door of names paints of its row `row` at `width` pixels.
using PaintRow = std::function<QImage(int row, int width)>;

// The columns where two pictures differ: how wide what one has and the other lacks shows.
int inkWidth(const QImage& with, const QImage& without) {
    int left = with.width();
    int right = -1;
    for (int y = 0; y < with.height(); ++y) {
        for (int x = 0; x < with.width(); ++x) {
            if (with.pixel(x, y) != without.pixel(x, y)) {
                left = std::min(left, x);
                right = std::max(right, x);
            }
        }
    }
    return right < left ? 0 : right - left + 1;
}

// Row 0 of `paint` is named with nothing, and the rows after it with `names`, each longer than the
// door shows at any of `widths`: each is cut there, and shows about as wide as the Latin one.
void expectCutAsWideAsLatin(const std::string& door, const std::vector<std::pair<QString, QString>>& names,
                            const PaintRow& paint, std::initializer_list<int> widths) {
    ASSERT_EQ(names.front().first, QStringLiteral("latin"));
    for (const int width : widths) {
        const QImage blank = paint(0, width);
        const int latin = inkWidth(paint(1, width), blank);
        // Cut: the whole name is far wider.
        ASSERT_GT(inkWidth(paint(1, 4 * width), paint(0, 4 * width)), latin * 2) << door << " at " << width;
        for (std::size_t i = 1; i < names.size(); ++i) {
            const int shown = inkWidth(paint(static_cast<int>(i) + 1, width), blank);
            EXPECT_NEAR(shown, latin, 0.15 * latin)
                << door << " at " << width << " px: " << names[i].first.toStdString() << " against latin";
        }
    }
}

// The rows of `model` as `delegate` paints them, each as tall as it asks at its width.
PaintRow paintedBy(const QAbstractItemDelegate& delegate, const QAbstractItemModel& model) {
    return [&](int row, int width) {
        QStyleOptionViewItem option;
        option.font = QApplication::font();
        option.rect = QRect(0, 0, width, 0);
        option.rect.setHeight(delegate.sizeHint(option, model.index(row, 0)).height());
        QImage image(option.rect.size(), QImage::Format_RGB32);
        image.fill(Qt::white);
        QPainter painter(&image);
        delegate.paint(&painter, option, model.index(row, 0));
        return image;
    };
}

} // namespace

// A name is cut by what shows of it, in either direction: the row kept the first characters up to
// where the layout reached the width, as if a line's characters grew from left to right, and a
// Hebrew name showed as "תיקו…", "WEB-12 תי…" after its key, an Arabic one as "…" alone. Each shows
// as wide as a Latin name cut for the same width, in the task list, the sidebar and a calendar card.
TEST_F(PlainNamesTest, NamesOfEitherDirectionAreCutToWhatShows) {
    const auto names = namedTestData(QStringLiteral("outside-text/names-in-both-directions.txt"));
    ASSERT_EQ(names.size(), 4u);

    service->tasks.clear();
    for (int i = 0; i <= static_cast<int>(names.size()); ++i) {
        Issue task = makeIssue(QString::number(i));
        task.reference.reset();
        task.name = i == 0 ? QString() : names[i - 1].second;
        task.state = Issue::State{QStringLiteral("s"), QStringLiteral("Open")};
        task.spentTime = QStringLiteral("1h");
        service->tasks.push_back(task);
    }
    ProjectViewModel model(service, makeProject(QStringLiteral("p")), std::nullopt, env.environment());
    ASSERT_TRUE(waitUntil([&] { return model.tasks().size() == names.size() + 1; }));
    ProjectTasksModel tasks(model, &timer);
    ProjectTaskRowView rows;
    expectCutAsWideAsLatin("task row", names, paintedBy(rows, tasks), {240, 320, 440});

    QStandardItemModel projects;
    projects.appendRow(new QStandardItem(QString()));
    for (const auto& [kind, name] : names) {
        projects.appendRow(new QStandardItem(name));
    }
    ProjectLinkView links;
    expectCutAsWideAsLatin("sidebar", names, paintedBy(links, projects), {160, 220, 300});

    QStandardItemModel entries;
    for (int row = 0; row <= static_cast<int>(names.size()); ++row) {
        auto* entry = new QStandardItem;
        entry->setData(row == 0 ? QString() : names[row - 1].second, CalendarEntryModel::TaskLabelRole);
        entry->setData(QStringLiteral("1h"), CalendarEntryModel::SpentTimeRole);
        entries.appendRow(entry);
    }
    CalendarEntryCard cards;
    expectCutAsWideAsLatin("calendar card", names, paintedBy(cards, entries), {140, 200, 280});
}
