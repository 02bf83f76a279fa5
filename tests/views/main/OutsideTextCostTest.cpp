// What text from outside costs the main thread where the app shows it, on a desktop's fonts
// (the Noto families, a colour emoji font, and the Han font there is): the first view of a text
// that makes Qt look up and load many fonts, faces a description names, text in tables, symbols a
// text font draws, tooltips, a week of cards, a day of many, the task list and the sidebar. Each
// was seen taking from a tenth of a second to seconds.
#include "platform/richtext/OutsideHtml.h"
#include "platform/richtext/OutsideLines.h"
#include "state/CalendarDay.h"
#include "state/ProjectViewModel.h"
#include "state/TimerViewModel.h"
#include "tests/state/FakeProviderService.h"
#include "tests/state/StateTestEnvironment.h"
#include "tests/support/DearCalendar.h"
#include "tests/support/DesktopText.h"
#include "tests/support/EventLoop.h"
#include "tests/support/TextLayoutCost.h"
#include "tests/support/ThreadCpuClock.h"
#include "tests/support/TimeScale.h"
#include "views/main/Appearance.h"
#include "views/main/CalendarDayView.h"
#include "views/main/CalendarDaysView.h"
#include "views/main/CalendarEntryCard.h"
#include "views/main/CalendarEntryModel.h"
#include "views/main/ProjectLinkView.h"
#include "views/main/ProjectTasksView.h"
#include "views/main/SimpleHtmlView.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QElapsedTimer>
#include <QFontDatabase>
#include <QHelpEvent>
#include <QListView>
#include <QPainter>
#include <QScrollBar>
#include <QStandardItemModel>
#include <QTextLayout>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <numeric>

using namespace velmora;
using namespace velmora::test;

namespace {

// A bound of the issue's, in CPU milliseconds, for a busy or instrumented machine: an optimised
// build holds three times the figure (the figures themselves are velmora_outside_html_bench's, on
// a quiet machine; here other tests run at once), stretched by the run's time scale.
double bound(qint64 milliseconds) {
    return static_cast<double>(cpuBudget(3 * milliseconds)) * timeScale();
}

double cpuMilliseconds(const std::function<void()>& work) {
    ThreadCpuClock clock;
    work();
    return static_cast<double>(clock.elapsedMicroseconds()) / 1000.0;
}

// A description view shown with `html`, laid out and painted.
double viewMilliseconds(const QString& html) {
    return cpuMilliseconds([&] {
        SimpleHtmlView view;
        view.resize(420, 300);
        view.setContent(html);
        view.show();
        drainEvents(2);
        view.document()->documentLayout()->documentSize();
        view.grab();
    });
}

// A calendar card of `html` on its own, sized and painted.
double cardMilliseconds(const QString& html, int width = 200) {
    QStandardItemModel model(1, 1);
    const QModelIndex index = model.index(0, 0);
    model.setData(index, QStringLiteral("T-1"), CalendarEntryModel::TaskLabelRole);
    model.setData(index, QStringLiteral("1h"), CalendarEntryModel::SpentTimeRole);
    model.setData(index, html, CalendarEntryModel::DescriptionRole);
    return cpuMilliseconds([&] {
        CalendarEntryCard card;
        QStyleOptionViewItem option;
        option.rect = QRect(0, 0, width, 0);
        option.font = QApplication::font();
        const QSize size = card.sizeHint(option, index);
        option.rect = QRect(QPoint(0, 0), QSize(width, std::min(size.height(), 400)));
        QImage image(option.rect.size(), QImage::Format_RGB32);
        QPainter painter(&image);
        card.paint(&painter, option, index);
    });
}

constexpr char caseVariable[] = "VELMORA_OUTSIDE_TEXT_CASE";
constexpr char childTest[] = "OutsideTextChild.MeasuresOneCaseInAFreshProcess";

// A task list of the tasks named `names`, shown at `size`.
struct TaskList {
    TaskList(const QStringList& names, QSize size) : service(std::make_shared<FakeProviderService>()) {
        env.settings->setShowUnresolvedTasksByDefault(false);
        env.settings->setShowMyTasksByDefault(false);
        service->states.answer({});
        service->assignees.answer({});
        for (int i = 0; i < names.size(); ++i) {
            Issue task = makeIssue(QString::number(i));
            task.name = names[i];
            service->tasks.push_back(task);
        }
        service->pageSize = static_cast<int>(names.size());
        model = std::make_unique<ProjectViewModel>(service, makeProject(QStringLiteral("p")), std::nullopt,
                                                   env.environment());
        loaded = waitUntil([&] { return model->tasks().size() == static_cast<std::size_t>(names.size()); });
        timer = std::make_unique<TimerViewModel>(QStringLiteral("ACCOUNT"), env.environment());
        list = std::make_unique<ProjectTasksView>(*model, timer.get());
        list->resize(size);
        list->show();
        drainEvents();
    }

    StateTestEnvironment env;
    std::shared_ptr<FakeProviderService> service;
    std::unique_ptr<ProjectViewModel> model;
    std::unique_ptr<TimerViewModel> timer;
    std::unique_ptr<ProjectTasksView> list;
    bool loaded = false;
};

} // namespace

// One case measured in a process of its own, for the tests below; skipped otherwise.
TEST(OutsideTextChild, MeasuresOneCaseInAFreshProcess) {
    const QString name = qEnvironmentVariable(caseVariable);
    if (name.isEmpty()) {
        GTEST_SKIP() << "runs only inside OutsideTextCost's tests";
    }
    const QString scripts = lettersOfEveryScript();
    double spent = -1;
    if (name == QStringLiteral("view-scripts-in-6-styles")) {
        spent = viewMilliseconds(inStyles(scripts, 6));
    } else if (name == QStringLiteral("card-scripts-in-6-styles")) {
        spent = cardMilliseconds(inStyles(scripts, 6));
    } else if (name == QStringLiteral("view-scripts-in-18-styles")) {
        spent = viewMilliseconds(inStyles(scripts, 18));
    } else if (name == QStringLiteral("view-scripts-in-6-styles-after-idle")) {
        // Qt's font cache lets go of engines nothing has used for some seconds (its timer looks
        // every ten): a view after an idle spell finds the fonts of the first gone unless they
        // are kept.
        const QString text = inStyles(scripts, 6);
        viewMilliseconds(text);
        QElapsedTimer idle;
        idle.start();
        while (idle.elapsed() < 15000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
            QThread::msleep(50);
        }
        spent = viewMilliseconds(text);
    }
    ASSERT_GE(spent, 0) << "no case " << name.toStdString();
    std::printf("milliseconds: %.2f\n", spent);
    std::fflush(stdout);
}

// A text of a letter of each of 150 scripts makes Qt look up and load a font for nearly each, in
// each style the text uses: its first view in a process took 3.6 to 3.8 s in six styles, a card
// 2.9 to 3.1 s, and 8.1 s in eighteen. The first use of each font is priced, and what would load
// more fonts than a view's budget is cut: the first view and card stay within their bounds.
TEST(OutsideTextCost, TheFirstViewOfManyScriptsInManyStylesStaysWithinItsBound) {
    for (const auto& [name, most] :
         {std::pair{"view-scripts-in-6-styles", 100}, std::pair{"card-scripts-in-6-styles", 50},
          std::pair{"view-scripts-in-18-styles", 100}}) {
        QString printed;
        const std::optional<double> spent =
            inFreshProcess(childTest, caseVariable, QString::fromLatin1(name),
                           QProcessEnvironment::systemEnvironment(), &printed);
        ASSERT_TRUE(spent) << name << ": " << printed.toStdString();
        EXPECT_LT(*spent, bound(most)) << name;
    }
}

// Qt's font cache lets go of the engines nothing used for some seconds: the fonts a view loaded
// were found gone by the next view after 12 s of idle, which took 3.8 s again. The view after an
// idle spell costs no more than the first.
TEST(OutsideTextCost, AViewAfterAnIdleSpellStaysWithinItsBound) {
    QString printed;
    const std::optional<double> spent =
        inFreshProcess(childTest, caseVariable, QStringLiteral("view-scripts-in-6-styles-after-idle"),
                       QProcessEnvironment::systemEnvironment(), &printed);
    ASSERT_TRUE(spent) << printed.toStdString();
    EXPECT_LT(*spent, bound(100));
}

// A description chooses no font: "<font face='Noto Color Emoji'>" drew 20,000 digits as grey
// pictures at a second a view. The same text with the face costs what it costs without it.
TEST(OutsideTextCost, AFaceADescriptionNamesCostsNothingOfItsFont) {
    ASSERT_TRUE(colourEmojiFontDrawsEmoji());
    const QString digits = QStringLiteral("0123456789 ").repeated(1800);
    const QString face = QStringLiteral("<font face=\"%1\">%2</font>").arg(colourEmojiFamily(), digits);
    viewMilliseconds(digits);
    const double plain = viewMilliseconds(digits);
    const double named = viewMilliseconds(face);
    EXPECT_LT(named, 2 * plain + bound(5)) << "against " << plain << " ms without the face";
    cardMilliseconds(digits);
    const double card = cardMilliseconds(face);
    EXPECT_LT(card, bound(50));
    if (QFontDatabase::families().contains(QStringLiteral("Noto Nastaliq Urdu"))) {
        // Nor a Nastaliq face, which Qt shapes at many times what Naskh costs.
        const QString urdu =
            repeatedTo(QStringLiteral("یہ اردو زبان میں ایک جملہ ہے جو نستعلیق میں لکھا گیا ہے۔ "));
        cardMilliseconds(urdu);
        const double naskh = cardMilliseconds(urdu);
        const double nastaliq = cardMilliseconds(QStringLiteral("<font face=\"Noto Nastaliq Urdu\">") + urdu +
                                                 QStringLiteral("</font>"));
        EXPECT_LT(nastaliq, 2 * naskh + bound(5)) << "against " << naskh << " ms without the face";
    }
}

// Qt lays a table's cells out three or four times (at their narrowest, their widest and their
// width): 300 emoji in a grid of 10 × 30 cost a card 80 ms, alone 25. Their text costs as often as
// it is laid out, so the grid costs what the same text alone does.
TEST(OutsideTextCost, TextInATablesCellsCostsAsOftenAsQtLaysItOut) {
    ASSERT_TRUE(colourEmojiFontDrawsEmoji());
    const QString grid = emojiInTableCells();
    const QString alone = QStringLiteral("\U0001F680 ").repeated(300);
    cardMilliseconds(alone);
    const double once = std::min(cardMilliseconds(alone), cardMilliseconds(alone));
    const double inCells = std::min(cardMilliseconds(grid), cardMilliseconds(grid));
    EXPECT_LT(inCells, 1.5 * once + bound(3)) << "against " << once << " ms for the same pictures alone";
}

// Symbols a text font draws (a star, a check box, a heart with the text selector) cost as its
// letters do: priced as colour emoji, ratings and checklists were cut after 890 of 2,000
// characters. Where the application's font draws them, such a text shows whole.
TEST(OutsideTextCost, SymbolsATextFontDrawsShowAsText) {
    const QString symbols = QStringLiteral("\u2605\u2606\u2610\u2764");
    if (familiesDrawing(symbols).contains(colourEmojiFamily())) {
        GTEST_SKIP() << "the colour emoji font draws the symbols here";
    }
    const QString ratings = ratingsAndChecklists();
    SimpleHtmlView view;
    view.setContent(ratings);
    EXPECT_EQ(view.toPlainText(), ratings);
}

// A tooltip of a name from outside lays it out once and paints that: Qt's own laid a name of 500
// rockets out again and again at each show, for a second.
TEST(OutsideTextCost, ATooltipOfANameShowsWithinAFrame) {
    ASSERT_TRUE(colourEmojiFontDrawsEmoji());
    TaskList tasks({QStringLiteral("\U0001F680").repeated(500)}, QSize(320, 300));
    ASSERT_TRUE(tasks.loaded);
    QAbstractItemView* view = tasks.list.get();
    const QPoint at = view->visualRect(view->model()->index(0, 0)).center() - QPoint(40, 0);
    for (int show = 0; show < 2; ++show) {
        const double spent = cpuMilliseconds([&] {
            QHelpEvent help(QEvent::ToolTip, at, view->viewport()->mapToGlobal(at));
            QCoreApplication::sendEvent(view->viewport(), &help);
            drainEvents(3);
            for (QWidget* top : QApplication::topLevelWidgets()) {
                if (top->isVisible() && top->windowFlags().testFlag(Qt::ToolTip)) {
                    top->repaint();
                }
            }
        });
        EXPECT_LT(spent, bound(16)) << "show " << show;
        QMouseEvent press(QEvent::MouseButtonPress, QPointF(1, 1), QPointF(1, 1), Qt::LeftButton,
                          Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(view->viewport(), &press);
        drainEvents(2);
    }
}

// A week is bounded as a whole: it lays out the cards it shows within one budget. Eight entries
// a day with descriptions of as many emoji as a view's budget buys took 1.5 s to open, and each
// new width 0.2 s.
TEST(OutsideTextCost, AWeekOfDearCardsOpensAndTakesANewWidthWithinItsBounds) {
    ASSERT_TRUE(colourEmojiFontDrawsEmoji());
    CalendarDaysView days;
    days.resize(1190, 700);
    days.show();
    drainEvents();
    const auto entries = calendarOf(8, budgetFillingEmoji());
    const double open = cpuMilliseconds([&] {
        days.setDays(entries);
        drainEvents();
        days.grab();
    });
    EXPECT_LT(open, bound(100));
    const double wider = cpuMilliseconds([&] {
        days.resize(1250, 700);
        drainEvents();
        days.grab();
    });
    EXPECT_LT(wider, bound(50));
}

// The columns of a strip share one budget: each lays out what it shows within its share of what is
// left, so no column takes what the others need, and a strip of many columns lays out what one of
// a few does. The scroll bar a tall strip shows narrows its columns: what they laid out before it
// showed is laid out anew at their width, within a budget of its own (the week's cards showed the
// least a card may, the budget spent at a width they no longer had).
TEST(OutsideTextCost, TheColumnsOfAStripShareOneBudget) {
    // Dear for any share: a card may lay out a few thousand letters of it, and the first card of each
    // column is all the strip shows of it.
    const QString description = QStringLiteral("word ").repeated(4000);
    // How much of the first card of each column the strip lays out: its height times its width.
    auto firstCards = [&](int days, int width) {
        CalendarDaysView strip;
        strip.resize(width, 700);
        strip.show();
        drainEvents();
        strip.setDays(calendarOf(2, description, days));
        drainEvents();
        std::vector<qint64> areas;
        for (CalendarDayView* column : strip.columns()) {
            const QListView* list = column->entryList();
            const QRect card = list->visualRect(list->model()->index(0, 0));
            areas.push_back(qint64{card.height()} * card.width());
        }
        return areas;
    };
    const std::vector<qint64> week = firstCards(7, 1190);
    ASSERT_EQ(week.size(), 7u);
    const auto [least, most] = std::minmax_element(week.begin(), week.end());
    EXPECT_GT(*least * 2, *most) << "a column laid out far less than another";
    const std::vector<qint64> three = firstCards(3, 520);
    ASSERT_EQ(three.size(), 3u);
    const qint64 all = std::accumulate(week.begin(), week.end(), qint64{0});
    const qint64 fewer = std::accumulate(three.begin(), three.end(), qint64{0});
    EXPECT_LT(all, fewer * 3 / 2) << "against " << fewer << " for three columns";
    EXPECT_GT(all, fewer * 2 / 3) << "against " << fewer << " for three columns";
}

// A day of many cards scrolls a page within a frame: its kept layouts are bounded by what they
// cost, not by a count (a day of more than 32 threw them away, and scrolling laid them out again).
TEST(OutsideTextCost, ADayOfManyDearCardsScrollsAPageWithinAFrame) {
    ASSERT_TRUE(colourEmojiFontDrawsEmoji());
    CalendarDaysView days;
    days.resize(600, 700);
    days.show();
    drainEvents();
    days.setDays(calendarOf(40, budgetFillingEmoji(), 3));
    drainEvents();
    QScrollBar* bar = days.verticalScrollBar();
    ASSERT_GT(bar->maximum(), 0);
    double worst = 0;
    int pages = 0;
    for (int round = 0; round < 2; ++round) {
        for (int step = 0; step < 40 && (round == 0 ? bar->value() < bar->maximum() : bar->value() > 0);
             ++step) {
            const double page = cpuMilliseconds([&] {
                bar->setValue(round == 0 ? std::min(bar->maximum(), bar->value() + bar->pageStep())
                                         : std::max(0, bar->value() - bar->pageStep()));
                // The cards that now show laid out, and painted.
                drainEvents(2);
            });
            ++pages;
            worst = std::max(worst, page);
        }
    }
    EXPECT_LT(worst, bound(16)) << pages << " pages";
}

// The mean CPU time of a page of `list` scrolled down, over as many pages as it has (20 at most).
double meanPage(ProjectTasksView& list) {
    QScrollBar* bar = list.verticalScrollBar();
    double spent = 0;
    int pages = 0;
    while (bar->value() < bar->maximum() && pages < 20) {
        spent += cpuMilliseconds([&] {
            bar->setValue(std::min(bar->maximum(), bar->value() + bar->pageStep()));
            list.viewport()->repaint();
        });
        ++pages;
    }
    return pages > 0 ? spent / pages : 0;
}

// The task list lays each row out by the width it shows, once: rows of emoji names scrolled at
// 31 to 38 ms a page (each name cut to some 75 emoji where a row shows 19, and shaped 2 or 3
// times), some twenty times a page of plain names. Held in turns, page by page, against what Qt
// spends laying out once what the page's rows show of their names (Qt decodes a colour emoji's
// picture each time it shapes it) with a page of plain names besides, for the rest of each row.
TEST(OutsideTextCost, ATaskListOfEmojiNamesScrollsAPageWithinAFrame) {
    ASSERT_TRUE(colourEmojiFontDrawsEmoji());
    QStringList emoji;
    QStringList plain;
    for (int i = 0; i < 300; ++i) {
        emoji << QStringLiteral("\U0001F680\U0001F389\U0001F44D\U0001F3FD\U0001F525").repeated(20) +
                     QString::number(i);
        plain << QStringLiteral("Fix the importer for files of task %1 ").repeated(4).arg(i);
    }
    TaskList emojiTasks(emoji, QSize(320, 600));
    TaskList plainTasks(plain, QSize(320, 600));
    ASSERT_TRUE(emojiTasks.loaded && plainTasks.loaded);
    // What a row shows of an emoji name: a line of the name's font (a step smaller than the
    // list's) as wide as the row leaves it.
    const QFont nameFont = Appearance::scaledFont(emojiTasks.list->font(), 10.0 / 13.0);
    constexpr int nameWidth = 320 - 2 * 8 - 4;
    OutsideLines lines;
    const QString shownName = lines.line(nameFont, emoji[0], nameWidth)->layout.text();
    ASSERT_GT(shownName.size(), 20);
    auto scroll = [](ProjectTasksView& list) {
        QScrollBar* bar = list.verticalScrollBar();
        return cpuMilliseconds([&] {
            bar->setValue(std::min(bar->maximum(), bar->value() + bar->pageStep()));
            list.viewport()->repaint();
        });
    };
    double emojiPages = 0;
    double plainPages = 0;
    double names = 0;
    int pages = 0;
    QAbstractItemView& shown = *emojiTasks.list;
    while (emojiTasks.list->verticalScrollBar()->value() < emojiTasks.list->verticalScrollBar()->maximum() &&
           pages < 20) {
        emojiPages += scroll(*emojiTasks.list);
        const QRect view = shown.viewport()->rect();
        const int first = shown.indexAt(view.topLeft()).row();
        const QModelIndex lastIndex = shown.indexAt(view.bottomLeft());
        const int rows = (lastIndex.isValid() ? lastIndex.row() : shown.model()->rowCount() - 1) - first + 1;
        names += cpuMilliseconds([&] {
            for (int row = 0; row < rows; ++row) {
                QTextLayout layout(shownName, nameFont);
                layout.beginLayout();
                layout.createLine().setLineWidth(nameWidth);
                layout.endLayout();
            }
        });
        plainPages += scroll(*plainTasks.list);
        ++pages;
    }
    ASSERT_GT(pages, 5);
    EXPECT_LT(emojiPages / pages, bound(16));
    EXPECT_LT(emojiPages, 2 * (names + plainPages))
        << "a page " << emojiPages / pages << " ms, against " << names / pages
        << " ms of its names laid out once and " << plainPages / pages << " ms of a page of plain names";
}

// The sidebar's rows lay their names out once for the width they show and paint that: ten
// projects named with emoji repainted in 94 to 103 ms, each name cut anew at every paint, where
// plain names take a millisecond.
TEST(OutsideTextCost, ASidebarOfEmojiNamesRepaintsWithinAFrame) {
    ASSERT_TRUE(colourEmojiFontDrawsEmoji());
    auto repaint = [](const QString& name) {
        QStandardItemModel model(10, 1);
        for (int row = 0; row < 10; ++row) {
            model.setData(model.index(row, 0), name + QString::number(row));
        }
        QListView list;
        list.setModel(&model);
        list.setItemDelegate(new ProjectLinkView(&list));
        list.resize(220, 400);
        list.show();
        drainEvents();
        list.viewport()->repaint();
        double least = 1e9;
        for (int round = 0; round < 3; ++round) {
            least = std::min(least, cpuMilliseconds([&] { list.viewport()->repaint(); }));
        }
        return least;
    };
    const double emoji = repaint(QStringLiteral("\U0001F680\U0001F389\U0001F44D\U0001F3FD ").repeated(20));
    const double plain = repaint(QStringLiteral("Website and the shop "));
    EXPECT_LT(emoji, bound(16));
    EXPECT_LT(emoji, 3 * plain + 1) << "against " << plain << " ms with plain names";
}

// The tests of text hold whatever fonts the machine has: without Droid Sans Fallback (where
// bootstrap installs it) as with it, they derive what they expect from the fonts there are. Run in a
// process whose fonts leave it out.
TEST(OutsideTextCost, TheTextTestsHoldWithoutDroidSansFallback) {
    if (hanFamily() != QStringLiteral("Droid Sans Fallback")) {
        GTEST_SKIP() << "Droid Sans Fallback does not draw Han here";
    }
    QString printed;
    EXPECT_TRUE(passWithoutFonts(QStringLiteral("DescriptionLayout.*:OutsideTextCost.*:PlainText.*:"
                                                "-OutsideTextCost.TheTextTestsHoldWithoutDroidSansFallback"),
                                 QStringLiteral("*/droid/*"), &printed))
        << printed.right(3000).toStdString();
}
