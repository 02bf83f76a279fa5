// HTML from outside that once froze the app for seconds to minutes (lengths in styles,
// table spans, combining marks, joiners between marks, font faces, list starts, deep
// lists; the fragments are those of tests/support/HostileHtml.h; and text of one long word
// changing script or direction at every character, characters that take no room heaped on
// one letter without marks, code points newer than Qt's Unicode and joined sequences, all
// at the bounder's cap of text), and text a desktop's fonts make dear (emoji the colour font
// draws, scripts that cost more than Latin, separators, variation selectors, format controls;
// those of tests/support/DesktopText.h), each laid out and painted where the app shows it: the
// task's description view, a scroll of it, the calendar card's size check and paint, the update
// offer's release notes, and a task row named with it. Every view, card and row is new, so
// nothing laid out before is reused, but for the scroll and the row painted again.
//
// The figures are taken with the desktop's fonts: the program refuses to run where the colour
// emoji font does not draw emoji (scripts/bootstrap installs it), since every emoji it draws
// costs hundreds of times what a letter costs. Whether a font draws Han, kana and Hangul (a
// Chinese, Japanese or Korean desktop's, Debian's fonts-noto-cjk) is said before the figures:
// the text of those scripts is bounded by what it costs with the fonts there are, so its figures
// differ with and without one.
//
// Screens of many are held as a whole: a week of cards of dear descriptions opened and laid out at
// a new width, a day of forty scrolled a page, the task lists of emoji names and of Korean names
// scrolled a page, the sidebar repainted, and the tooltip of a name of 500 emoji shown.
//
// Times are this thread's CPU time per view, so other work on the machine does not count.
// Bounds: the description view and the release notes under 100 ms, a new calendar card's size
// check, and its size check and paint, under 50 ms, a scroll of the view under 16 ms, a task row
// painted again under 4 ms and a new one under 16 ms, for every input; a week opened under 100 ms
// and at a new width under 50, a page of a day, of the task list, a repaint of the sidebar and a
// tooltip's show under 16. Which fonts draw what here is said before the figures (what a text
// costs follows them; the first use of a font in a process is held by the tests, each in a
// process of its own).
#include "platform/richtext/FontCosts.h"
#include "platform/updates/ReleaseNotesBrowser.h"
#include "state/CalendarDay.h"
#include "state/ProjectViewModel.h"
#include "state/TimerViewModel.h"
#include "tests/support/DearCalendar.h"
#include "tests/support/DesktopText.h"
#include "tests/support/HostileHtml.h"
#include "tests/support/TestData.h"
#include "views/main/CalendarDaysView.h"
#include "views/main/CalendarEntryCard.h"
#include "views/main/CalendarEntryModel.h"
#include "views/main/ProjectLinkView.h"
#include "views/main/ProjectTaskRowView.h"
#include "views/main/ProjectTasksModel.h"
#include "views/main/ProjectTasksView.h"
#include "views/main/SimpleHtmlView.h"

#include "BenchMain.h"
#include "TaskBenchSetup.h"

#include <benchmark/benchmark.h>

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QHelpEvent>
#include <QImage>
#include <QListView>
#include <QPainter>
#include <QScrollBar>
#include <QStandardItemModel>

#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace velmora;

// The text of one long word, `first` and `second` in turn, `length` characters in all.
QString alternating(char32_t first, char32_t second, int length) {
    QString word;
    for (int i = 0; i < length; ++i) {
        const char32_t c = i % 2 == 0 ? first : second;
        word += QString::fromUcs4(&c, 1);
    }
    return word;
}

QString repeatedCodePoint(char32_t c, int times) {
    return QString::fromUcs4(&c, 1).repeated(times);
}

// The bounder keeps this much text (OutsideHtmlLimits::maxText).
constexpr int textCap = 20000;

// Text whose cost is in the runs Qt itemizes it into and in what it shapes as one cluster:
// a script or direction change at every character of one word, thousands
// of characters that take no room after one letter that carries no mark, code points newer
// than Qt's Unicode, and joined words and emoji sequences.
std::vector<std::pair<QString, QString>> scriptsAndJoiners() {
    const QString englandFlag = QString::fromUcs4(U"\U0001F3F4\U000E0067\U000E0062\U000E0065\U000E006E"
                                                  U"\U000E0067\U000E007F");
    const QString joined =
        QString::fromUcs4(U"\U0001F469\u200D\U0001F4BB ") + englandFlag +
        QStringLiteral(" \u0915\u094D\u200D\u0937 \u0645\u06CC\u200C\u062E\u0648\u0627\u0647\u0645 "
                       "\u0DC1\u0DCA\u200D\u0DBB\u0DD3 ");
    const QString newer = QString::fromUcs4(U"\U0001FAE8\U0001FA89\U0001FABF\U00011F04\U0001E4D0\U00010D50"
                                            U"\U000105C0\U00011BC0\U00016D43\U00011380\U0001E5D0\U00031350"
                                            U"\U0002EBF0");
    return {
        {QStringLiteral("latin-greek-runs"), alternating(U'a', 0x03B1, textCap)},
        {QStringLiteral("thai-devanagari-runs"), alternating(0x0E01, 0x0915, textCap)},
        {QStringLiteral("arabic-malayalam-runs"), alternating(0x0628, 0x0D2E, textCap)},
        // Direction changes alone: Hebrew and digits share no script change.
        {QStringLiteral("hebrew-digit-runs"), alternating(0x05D0, U'1', textCap)},
        // A run change at every character in each of many short paragraphs.
        {QStringLiteral("paragraphs-of-runs"),
         (QStringLiteral("<p>") + alternating(0x0628, 0x0D2E, 200) + QStringLiteral("</p>")).repeated(100)},
        {QStringLiteral("zwnj-after-ka"), QStringLiteral("\u0915") + repeatedCodePoint(0x200C, textCap)},
        {QStringLiteral("zwj-after-malayalam"),
         QStringLiteral("\u0D2E") + repeatedCodePoint(0x200D, textCap)},
        {QStringLiteral("word-joiners-after-ka"),
         QStringLiteral("\u0915") + repeatedCodePoint(0x2060, textCap)},
        {QStringLiteral("zero-width-spaces-after-ka"),
         QStringLiteral("\u0915") + repeatedCodePoint(0x200B, textCap)},
        {QStringLiteral("tags-after-black-flag"),
         QString::fromUcs4(U"\U0001F3F4") + repeatedCodePoint(0xE0067, textCap)},
        // Words of them: Garay reads right to left, and a word of runs of both directions is cut.
        {QStringLiteral("newer-code-points"), (newer + u' ').repeated(textCap / (newer.size() + 1))},
        {QStringLiteral("marks-on-newer-code-points"),
         QString::fromUcs4(U"\U0001FAE8") + QString(QChar(0x0301)).repeated(textCap)},
        {QStringLiteral("joined-sequences"), joined.repeated(textCap / joined.size())},
    };
}

double threadCpuSeconds() {
    timespec time{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &time);
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) / 1e9;
}

// Runs `body` once per iteration and reports its CPU time as the iteration's time.
template <typename Body> void timed(benchmark::State& state, Body body) {
    for (auto _ : state) {
        const double start = threadCpuSeconds();
        body();
        state.SetIterationTime(threadCpuSeconds() - start);
    }
}

// A new view shown with `html`: laid out at its width and painted, the layout finished.
void descriptionView(benchmark::State& state, const QString& html) {
    timed(state, [&] {
        SimpleHtmlView view;
        view.resize(420, 300);
        view.setContent(html);
        benchmark::DoNotOptimize(view.grab());
        view.document()->documentLayout()->documentSize();
    });
}

// A view shown with `html` scrolled a page down or back up and painted, as a wheel scrolls it.
void descriptionScroll(benchmark::State& state, const QString& html) {
    SimpleHtmlView view;
    view.resize(420, 300);
    view.setContent(html);
    view.show();
    QCoreApplication::processEvents();
    view.document()->documentLayout()->documentSize();
    QScrollBar* bar = view.verticalScrollBar();
    timed(state, [&] {
        bar->setValue(
            bar->value() >= bar->maximum() ? 0 : std::min(bar->maximum(), bar->value() + bar->pageStep()));
        view.viewport()->repaint();
    });
}

// One calendar entry with `html` for its description, in a card 200 pixels wide.
void fillEntry(QStandardItemModel& model, const QString& html) {
    const QModelIndex index = model.index(0, 0);
    model.setData(index, QStringLiteral("T-1"), CalendarEntryModel::TaskLabelRole);
    model.setData(index, QStringLiteral("1h"), CalendarEntryModel::SpentTimeRole);
    model.setData(index, html, CalendarEntryModel::DescriptionRole);
}

QStyleOptionViewItem cardOption() {
    QStyleOptionViewItem option;
    option.rect = QRect(0, 0, 200, 0);
    return option;
}

void calendarCardSize(benchmark::State& state, const QString& html) {
    QStandardItemModel model(1, 1);
    fillEntry(model, html);
    const QModelIndex index = model.index(0, 0);
    const QStyleOptionViewItem option = cardOption();
    timed(state, [&] {
        CalendarEntryCard card;
        benchmark::DoNotOptimize(card.sizeHint(option, index));
    });
}

// A new card sized and painted, as the calendar shows an entry it has not shown before.
void calendarCardPaint(benchmark::State& state, const QString& html) {
    QStandardItemModel model(1, 1);
    fillEntry(model, html);
    const QModelIndex index = model.index(0, 0);
    const QStyleOptionViewItem option = cardOption();
    QImage image(200, 400, QImage::Format_RGB32);
    timed(state, [&] {
        CalendarEntryCard card;
        const QSize size = card.sizeHint(option, index);
        QStyleOptionViewItem painted = option;
        painted.rect = QRect(QPoint(0, 0), QSize(200, std::min(size.height(), 400)));
        QPainter painter(&image);
        card.paint(&painter, painted, index);
    });
}

// A project of one task named `name`, its state and spent time plain, in the list's model.
struct NamedTask {
    explicit NamedTask(const QString& name)
        : service(std::make_shared<bench::InMemoryTaskService>(
              bench::sampleTasks(1, [&name](Issue& task, int) { task.name = name; }), 1)) {
        model = std::make_unique<ProjectViewModel>(service, bench::sampleProject(), std::nullopt,
                                                   stores.environment);
        while (model->loading() || model->tasks().empty()) {
            QCoreApplication::processEvents();
        }
        timer = std::make_unique<TimerViewModel>(QStringLiteral("KEY"), stores.environment);
        rows = std::make_unique<ProjectTasksModel>(*model, timer.get());
    }

    bench::TaskListStores stores;
    std::shared_ptr<bench::InMemoryTaskService> service;
    std::unique_ptr<ProjectViewModel> model;
    std::unique_ptr<TimerViewModel> timer;
    std::unique_ptr<ProjectTasksModel> rows;
};

QStyleOptionViewItem rowOption(const ProjectTaskRowView& delegate, const QModelIndex& index) {
    QStyleOptionViewItem option;
    option.rect = QRect(0, 0, 320, 0);
    option.rect.setHeight(delegate.sizeHint(option, index).height());
    return option;
}

// A task named with `text` painted in a row of a list 320 pixels wide, by a new delegate: as a
// list shows a row it has not shown before.
void taskRowFirstPaint(benchmark::State& state, const QString& text) {
    NamedTask task(text);
    const QModelIndex index = task.rows->index(0, 0);
    QImage image(320, 60, QImage::Format_RGB32);
    timed(state, [&] {
        ProjectTaskRowView delegate;
        QPainter painter(&image);
        delegate.paint(&painter, rowOption(delegate, index), index);
    });
}

// The same row painted again, as a list repaints what it shows.
void taskRowPaint(benchmark::State& state, const QString& text) {
    NamedTask task(text);
    const QModelIndex index = task.rows->index(0, 0);
    QImage image(320, 60, QImage::Format_RGB32);
    ProjectTaskRowView delegate;
    const QStyleOptionViewItem option = rowOption(delegate, index);
    {
        QPainter painter(&image);
        delegate.paint(&painter, option, index);
    }
    timed(state, [&] {
        QPainter painter(&image);
        delegate.paint(&painter, option, index);
    });
}

// A week of `perDay` entries a day, each with its own description of as many emoji as one view
// may lay out.
std::vector<CalendarDay> dearWeek(int perDay, int dayCount = 7) {
    return velmora::test::calendarOf(perDay, velmora::test::budgetFillingEmoji(), dayCount);
}

void drain() {
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::processEvents();
    }
}

// A week of eight dear cards a day shown anew, and then laid out at a new width.
void BM_WeekOpen(benchmark::State& state) {
    CalendarDaysView days;
    days.resize(1190, 700);
    days.show();
    drain();
    timed(state, [&] {
        days.setDays(dearWeek(8));
        drain();
        days.viewport()->repaint();
    });
}

void BM_WeekNewWidth(benchmark::State& state) {
    CalendarDaysView days;
    days.resize(1190, 700);
    days.show();
    drain();
    days.setDays(dearWeek(8));
    drain();
    int width = 1190;
    timed(state, [&] {
        width = width == 1190 ? 1250 : 1190;
        days.resize(width, 700);
        drain();
        days.viewport()->repaint();
    });
}

// A day of forty dear cards scrolled a page down, or back to the top at the end.
void BM_DayScrollPage(benchmark::State& state) {
    CalendarDaysView days;
    days.resize(600, 700);
    days.show();
    drain();
    days.setDays(dearWeek(40, 3));
    drain();
    QScrollBar* bar = days.verticalScrollBar();
    timed(state, [&] {
        bar->setValue(
            bar->value() >= bar->maximum() ? 0 : std::min(bar->maximum(), bar->value() + bar->pageStep()));
        drain();
        days.viewport()->repaint();
    });
}

// The task list of a thousand tasks named by `name` scrolled a page down, or back to the top at
// the end.
template <typename Name> void taskListScrollPage(benchmark::State& state, Name name) {
    bench::TaskListStores stores;
    auto service = std::make_shared<bench::InMemoryTaskService>(
        bench::sampleTasks(1000, [&name](Issue& task, int i) { task.name = name(i); }), 1000);
    ProjectViewModel model(service, bench::sampleProject(), std::nullopt, stores.environment);
    while (model.loading() || model.tasks().empty()) {
        QCoreApplication::processEvents();
    }
    TimerViewModel timer(QStringLiteral("KEY"), stores.environment);
    ProjectTasksView list(model, &timer);
    list.resize(320, 600);
    list.show();
    drain();
    QScrollBar* bar = list.verticalScrollBar();
    timed(state, [&] {
        bar->setValue(
            bar->value() >= bar->maximum() ? 0 : std::min(bar->maximum(), bar->value() + bar->pageStep()));
        list.viewport()->repaint();
    });
}

void BM_EmojiTaskListScrollPage(benchmark::State& state) {
    taskListScrollPage(state, [](int i) {
        return QStringLiteral("\U0001F680\U0001F389\U0001F44D\U0001F3FD\U0001F525").repeated(20) +
               QString::number(i);
    });
}

// Korean names, each longer than its row, as a Korean team writes them (where no font installed
// says it is for Korean, a fallback font far down Qt's list draws Hangul).
void BM_KoreanTaskListScrollPage(benchmark::State& state) {
    taskListScrollPage(state, [](int i) {
        return QStringLiteral("WEB-%1 ").arg(i) + velmora::test::koreanText().repeated(3);
    });
}

// The sidebar's rows of ten projects named with emoji repainted.
void BM_EmojiSidebarRepaint(benchmark::State& state) {
    QStandardItemModel model(10, 1);
    for (int row = 0; row < 10; ++row) {
        model.setData(model.index(row, 0),
                      QStringLiteral("\U0001F680\U0001F389\U0001F44D\U0001F3FD ").repeated(20) +
                          QString::number(row));
    }
    QListView list;
    list.setModel(&model);
    list.setItemDelegate(new ProjectLinkView(&list));
    list.resize(220, 400);
    list.show();
    drain();
    list.viewport()->repaint();
    timed(state, [&] { list.viewport()->repaint(); });
}

// The tooltip of a task named with 500 emoji shown over its row (new each time: its name changes).
void BM_NameToolTip(benchmark::State& state) {
    bench::TaskListStores stores;
    auto service = std::make_shared<bench::InMemoryTaskService>(
        bench::sampleTasks(50,
                           [](Issue& task, int i) {
                               task.name = QStringLiteral("\U0001F680").repeated(500) + QString::number(i);
                           }),
        50);
    ProjectViewModel model(service, bench::sampleProject(), std::nullopt, stores.environment);
    while (model.loading() || model.tasks().empty()) {
        QCoreApplication::processEvents();
    }
    TimerViewModel timer(QStringLiteral("KEY"), stores.environment);
    ProjectTasksView list(model, &timer);
    list.resize(320, 2000);
    list.show();
    drain();
    QAbstractItemView* view = &list;
    int row = 0;
    timed(state, [&] {
        const QPoint at = view->visualRect(view->model()->index(row++ % 50, 0)).center() - QPoint(40, 0);
        QHelpEvent help(QEvent::ToolTip, at, view->viewport()->mapToGlobal(at));
        QCoreApplication::sendEvent(view->viewport(), &help);
        drain();
        for (QWidget* top : QApplication::topLevelWidgets()) {
            if (top->isVisible() && top->windowFlags().testFlag(Qt::ToolTip)) {
                top->repaint();
            }
        }
    });
}

void releaseNotes(benchmark::State& state, const QString& html) {
    timed(state, [&] {
        ReleaseNotesBrowser notes;
        notes.resize(420, 300);
        notes.setNotes(html);
        notes.document()->documentLayout()->documentSize();
        benchmark::DoNotOptimize(notes.grab());
    });
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    if (!velmora::test::colourEmojiFontDrawsEmoji()) {
        std::fprintf(stderr,
                     "The colour emoji font (%s) does not draw emoji here (drawn by: %s): the figures of "
                     "this benchmark are those of a desktop's fonts. scripts/bootstrap installs it.\n",
                     qPrintable(velmora::test::colourEmojiFamily()),
                     qPrintable(velmora::test::familiesDrawing(QStringLiteral("\U0001F680")).join(u',')));
        return 1;
    }
    // What draws what here: the figures are those of these fonts.
    velmora::FontCosts& fonts = velmora::FontCosts::ofThisProcess();
    for (const char32_t c : {U'a', char32_t(0x4E2D), char32_t(0x3042), char32_t(0xD55C), char32_t(0x1F680),
                             char32_t(0x2605), char32_t(0x0F40)}) {
        const velmora::GlyphCost glyph = fonts.cost(c);
        const QString family = fonts.family(glyph.font);
        std::printf("U+%04X: %s, %d a glyph (and %d the first time a text holds it)\n",
                    static_cast<unsigned>(c), family.isEmpty() ? "no font" : qPrintable(family), glyph.each,
                    glyph.first);
    }
    using velmora::bench::Bounds;
    using velmora::bench::Measurement;
    using velmora::bench::Quantity;
    using velmora::bench::Runs;
    Bounds bounds;
    struct Place {
        const char* benchmark;
        const char* measure;
        void (*run)(benchmark::State&, const QString&);
        double bound;
    };
    const Place places[] = {
        {"BM_DescriptionView", "description view", descriptionView, 0.100},
        {"BM_DescriptionScroll", "description view scrolled a page", descriptionScroll, 0.016},
        // The size check of a card whose description is a few hundred emoji lays them out once,
        // which costs 25 to 30 ms on a desktop's fonts: it shares the bound of a card's size and
        // paint.
        {"BM_CalendarCardSize", "calendar card size check", calendarCardSize, 0.050},
        {"BM_CalendarCardPaint", "calendar card size check and paint", calendarCardPaint, 0.050},
        {"BM_ReleaseNotes", "release notes", releaseNotes, 0.100},
        {"BM_TaskRowFirstPaint", "task row painted first", taskRowFirstPaint, 0.016},
        {"BM_TaskRowPaint", "task row painted again", taskRowPaint, 0.004}};
    struct Screen {
        const char* benchmark;
        const char* measure;
        void (*run)(benchmark::State&);
        double bound;
    };
    const Screen screens[] = {
        {"BM_WeekOpen", "a week of dear cards opened", BM_WeekOpen, 0.100},
        {"BM_WeekNewWidth", "a week of dear cards at a new width", BM_WeekNewWidth, 0.050},
        {"BM_DayScrollPage", "a day of forty dear cards scrolled a page", BM_DayScrollPage, 0.016},
        {"BM_EmojiTaskListScrollPage", "the task list of emoji names scrolled a page",
         BM_EmojiTaskListScrollPage, 0.016},
        {"BM_KoreanTaskListScrollPage", "the task list of Korean names scrolled a page",
         BM_KoreanTaskListScrollPage, 0.016},
        {"BM_EmojiSidebarRepaint", "the sidebar of emoji names repainted", BM_EmojiSidebarRepaint, 0.016},
        {"BM_NameToolTip", "the tooltip of a name of 500 emoji shown", BM_NameToolTip, 0.016}};
    for (const Screen& screen : screens) {
        const std::string benchmark = screen.benchmark;
        benchmark::RegisterBenchmark(screen.benchmark, screen.run)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond)
            ->Iterations(10)
            ->Repetitions(3)
            ->ReportAggregatesOnly(true);
        bounds.atMost(
            std::string(screen.measure) + " (CPU)",
            [benchmark](const Runs& runs) -> std::optional<Measurement> {
                const velmora::bench::Figures* figures = runs.find(benchmark);
                if (!figures || figures->failed) {
                    return std::nullopt;
                }
                return Measurement{Quantity::seconds(figures->seconds), std::nullopt};
            },
            screen.bound);
    }
    auto shapes = velmora::test::hostileHtml();
    // Faces, tables and symbols: a face of the colour emoji font over digits, emoji in a table's
    // cells, ratings and checklists of symbols a text font draws, a letter of each script.
    {
        shapes.emplace_back(QStringLiteral("emoji-face-digits"),
                            QStringLiteral("<font face=\"Noto Color Emoji\">") +
                                QStringLiteral("0123456789 ").repeated(1800) + QStringLiteral("</font>"));
        shapes.emplace_back(QStringLiteral("emoji-in-table-cells"), velmora::test::emojiInTableCells());
        shapes.emplace_back(QStringLiteral("ratings-and-checklists"), velmora::test::ratingsAndChecklists());
        shapes.emplace_back(QStringLiteral("a-letter-of-each-script-in-6-styles"),
                            velmora::test::inStyles(velmora::test::lettersOfEveryScript(), 6));
    }
    for (auto& shape : scriptsAndJoiners()) {
        shapes.push_back(std::move(shape));
    }
    for (auto& shape : velmora::test::desktopFontText()) {
        shapes.push_back(std::move(shape));
    }
    for (auto& [name, text] : velmora::test::desktopFontNames()) {
        shapes.emplace_back(QStringLiteral("name-") + name, text);
    }
    // Lists and lines that may not break, and names of either direction, as the tests keep them.
    for (const char* file : {"one-list-of-2000-items", "nobr-of-4000-words", "pre-of-10000-tabs",
                             "pre-of-10000-tabs-between-letters", "10000-spaced-fdfd"}) {
        const QString name = QString::fromLatin1(file);
        shapes.emplace_back(
            name, velmora::test::testData(QStringLiteral("outside-html/") + name + QStringLiteral(".html")));
    }
    for (auto& [kind, text] :
         velmora::test::namedTestData(QStringLiteral("outside-text/names-in-both-directions.txt"))) {
        shapes.emplace_back(QStringLiteral("name-") + kind + QStringLiteral("-cut"), text);
    }
    for (const auto& [name, html] : shapes) {
        for (const Place& place : places) {
            const std::string benchmark = std::string(place.benchmark) + "/" + name.toStdString();
            benchmark::RegisterBenchmark(benchmark.c_str(), place.run, html)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond)
                ->Iterations(5)
                ->Repetitions(3)
                ->ReportAggregatesOnly(true);
            bounds.atMost(
                std::string(place.measure) + ": " + name.toStdString() + " (CPU)",
                [benchmark](const Runs& runs) -> std::optional<Measurement> {
                    const velmora::bench::Figures* figures = runs.find(benchmark);
                    if (!figures || figures->failed) {
                        return std::nullopt;
                    }
                    return Measurement{Quantity::seconds(figures->seconds), std::nullopt};
                },
                place.bound);
        }
    }
    return velmora::bench::runBenchmarks(argc, argv, bounds);
}
