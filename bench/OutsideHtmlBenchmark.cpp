// HTML from outside that once froze the app for seconds to minutes (lengths in styles,
// table spans, combining marks, joiners between marks, font faces, list starts, deep
// lists; the fragments are those of tests/support/HostileHtml.h), each laid out and
// painted where the app shows it: the task's description view, the calendar card's size
// check, and the update offer's release notes. Every view is new, so nothing laid out
// before is reused.
//
// Times are this thread's CPU time per view, so other work on the machine does not count.
// Bounds: the description view and the release notes under 100 ms, a calendar card's
// size check under 20 ms and a new card's size check and paint under 50 ms, for every input.
#include "platform/updates/ReleaseNotesBrowser.h"
#include "tests/support/HostileHtml.h"
#include "views/main/CalendarEntryCard.h"
#include "views/main/CalendarEntryModel.h"
#include "views/main/SimpleHtmlView.h"

#include "BenchMain.h"

#include <benchmark/benchmark.h>

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QStandardItemModel>

#include <ctime>
#include <string>

namespace {

using namespace velmora;

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

void descriptionView(benchmark::State& state, const QString& html) {
    timed(state, [&] {
        SimpleHtmlView view;
        view.resize(420, 300);
        view.setContent(html);
        view.document()->documentLayout()->documentSize();
        benchmark::DoNotOptimize(view.grab());
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
        {"BM_CalendarCardSize", "calendar card size check", calendarCardSize, 0.020},
        {"BM_CalendarCardPaint", "calendar card size check and paint", calendarCardPaint, 0.050},
        {"BM_ReleaseNotes", "release notes", releaseNotes, 0.100}};
    for (const auto& [name, html] : velmora::test::hostileHtml()) {
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
