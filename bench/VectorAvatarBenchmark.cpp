// A plain vector avatar drawn at 60 px through the avatar road (the coders registry with a
// thumbnail size, as an avatar view asks for it), beside a bare render of the same document in
// this process: the SVG by QSvgRenderer, the PDF by Poppler through the same QPainter backend.
// The road draws both in the drawing process. What is compared is the road's own cost, the
// checks, the filter, the hop to the drawing process and the composing, not one renderer against
// another.
//
// What one process per document costs: a drawing process's start (a copy of the template) and
// the template's own, and a screen of 40 avatars of 40 people drawn at once, from no process and
// after another screen.
//
// And what vector avatars leave behind: the bench started again as a child draws a screen of
// 40 PDF avatars at once on the image threads, and the next screen two seconds later, and sits
// idle for a minute; its own anonymous memory and its drawing processes' are held against the
// same child that drew PNG avatars instead. The child also counts the processes the screens
// started, templates and drawing processes (it looks for them every millisecond, and each lives
// for at least its start and one drawing). The child is the image library as the app uses it, not the whole
// app: the app's own memory is the running-app benchmark's.
#include "BenchMain.h"
#include "ProcessMemory.h"
#include "images/coders/ImageCodersManager.h"
#include "images/coders/ImageSVGCoder.h"
#include "images/coders/vector-render/VectorRenderHost.h"
#include "images/core/DecodeOptions.h"
#include "images/core/DispatchQueue.h"
#include "tests/support/PdfDocuments.h"

#include <benchmark/benchmark.h>
#include <poppler-qt6.h>

#include <QBuffer>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QSvgRenderer>
#include <QThread>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

using namespace velmora::images;
using velmora::test::pdfOf;

constexpr int side = 60;

// A head and shoulders in a circle, of curves and fills, as avatars are drawn.
const QByteArray& plainSvg() {
    static const QByteArray data =
        R"(<svg xmlns="http://www.w3.org/2000/svg" width="60" height="60" viewBox="0 0 60 60">
<circle cx="30" cy="30" r="30" fill="#4a90d9"/>
<circle cx="30" cy="24" r="11" fill="#f1d3b3"/>
<path d="M10 54 C12 40 20 36 30 36 C40 36 48 40 50 54 Z" fill="#2d4f7c"/>
<path d="M19 22 C19 12 41 12 41 22 C37 17 23 17 19 22 Z" fill="#5b3a1e"/>
<rect x="26" y="36" width="8" height="4" fill="#f1d3b3"/>
</svg>)";
    return data;
}

// The same drawing as the SVG, in PDF's coordinates (y up).
const QByteArray& plainPdf() {
    static const QByteArray data = [] {
        const QByteArray content =
            "0.29 0.56 0.85 rg 60 30 m 60 46.6 46.6 60 30 60 c 13.4 60 0 46.6 0 30 c "
            "0 13.4 13.4 0 30 0 c 46.6 0 60 13.4 60 30 c f\n"
            "0.95 0.83 0.70 rg 41 36 m 41 42.1 36.1 47 30 47 c 23.9 47 19 42.1 19 36 c "
            "19 29.9 23.9 25 30 25 c 36.1 25 41 29.9 41 36 c f\n"
            "0.18 0.31 0.49 rg 10 6 m 12 20 20 24 30 24 c 40 24 48 20 50 6 c h f\n"
            "0.36 0.23 0.12 rg 19 38 m 19 48 41 48 41 38 c 37 43 23 43 19 38 c h f\n"
            "0.95 0.83 0.70 rg 26 20 8 4 re f\n";
        return pdfOf(
            {"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
             "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 60 60] /Contents 4 0 R >>",
             "<< /Length " + QByteArray::number(content.size()) + " >>\nstream\n" + content + "\nendstream"});
    }();
    return data;
}

// Avatars of many people: the document with a comment of its own after its end, so that
// nothing one drawing loaded or parsed is of use to the next.
std::vector<QByteArray> variants(const QByteArray& data, int count = 64) {
    std::vector<QByteArray> all;
    for (int i = 0; i < count; ++i) {
        all.push_back(data + (data.startsWith("%PDF") ? "% " : "<!-- ") + QByteArray::number(i) +
                      (data.startsWith("%PDF") ? "\n" : " -->\n"));
    }
    return all;
}

// One person's avatar drawn again and again, as rows repaint it: its drawing process, kept for
// the same document, draws each; what a new person's costs besides (a copy of a template,
// confined) is the rows of a drawing process's start and of the screens of 40 people.
void avatarRoad(benchmark::State& state, const QByteArray& data) {
    auto manager = ImageCodersManager::sharedManager();
    DecodeOptions options;
    options.thumbnailPixelSize = QSizeF(side, side);
    const std::vector<QByteArray> documents = variants(data, 1);
    std::size_t next = 0;
    for (auto _ : state) {
        Image image = manager->decodedImageWithData(documents[next++ % documents.size()], options);
        if (image.isNull()) {
            state.SkipWithError("the avatar was not drawn");
            break;
        }
        benchmark::DoNotOptimize(image);
    }
}

void BM_SvgAvatarRoad(benchmark::State& state) {
    avatarRoad(state, plainSvg());
}

void BM_SvgBareQSvgRenderer(benchmark::State& state) {
    const std::vector<QByteArray> documents = variants(plainSvg());
    std::size_t next = 0;
    for (auto _ : state) {
        QSvgRenderer renderer(documents[next++ % documents.size()]);
        QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        renderer.render(&painter, QRectF(0, 0, side, side));
        painter.end();
        benchmark::DoNotOptimize(image);
    }
}

void BM_PdfAvatarRoad(benchmark::State& state) {
    avatarRoad(state, plainPdf());
}

void BM_PdfBarePoppler(benchmark::State& state) {
    const std::vector<QByteArray> documents = variants(plainPdf());
    std::size_t next = 0;
    for (auto _ : state) {
        const auto document = Poppler::Document::loadFromData(documents[next++ % documents.size()]);
        document->setRenderBackend(Poppler::Document::QPainterBackend);
        document->setRenderHint(Poppler::Document::Antialiasing);
        document->setRenderHint(Poppler::Document::TextAntialiasing);
        document->setRenderHint(Poppler::Document::IgnorePaperColor);
        const auto page = document->page(0);
        const QSizeF points = page->pageSizeF();
        QImage image = page->renderToImage(72.0 * side / points.width(), 72.0 * side / points.height());
        benchmark::DoNotOptimize(image);
    }
}

// A drawing process's start, its template already running: each iteration asks a plain PDF avatar
// of bytes no process has drawn, so the figure is a copy of the template made, confined and
// greeting, and one small drawing.
void BM_DrawingProcessStart(benchmark::State& state) {
    VectorRenderProtocol::Request request;
    request.pixels = QSize(side, side);
    static int document = 0;
    // The template started before the figures.
    request.document = plainPdf() + "% start\n";
    (void)VectorRenderHost::ask(request);
    for (auto _ : state) {
        request.document = plainPdf() + "% " + QByteArray::number(++document) + "\n";
        const auto answer = VectorRenderHost::ask(request);
        if (!answer || answer->image.isNull()) {
            state.SkipWithError("the drawing process did not draw");
            break;
        }
        benchmark::DoNotOptimize(answer);
    }
}

// The template's start and its first drawing process: each iteration ends every process, then
// asks a plain PDF avatar, so the figure is the program's start, its loading and first drawing
// of what drawing loads, and a copy made and confined, as at the app's first vector avatar.
void BM_TemplateStart(benchmark::State& state) {
    const QString program = VectorRenderHost::programPath();
    VectorRenderProtocol::Request request;
    request.pixels = QSize(side, side);
    static int document = 0;
    for (auto _ : state) {
        state.PauseTiming();
        VectorRenderHost::useProgram(program);
        request.document = plainPdf() + "% cold " + QByteArray::number(++document) + "\n";
        state.ResumeTiming();
        const auto answer = VectorRenderHost::ask(request);
        if (!answer || answer->image.isNull()) {
            state.SkipWithError("the drawing process did not draw");
            break;
        }
        benchmark::DoNotOptimize(answer);
    }
}

constexpr int burstAvatars = 40;
constexpr const char* idleChildArgument = "--idle-child";

// 40 avatars of one kind, each of its own bytes: the PDF, or a PNG of as many pixels.
std::vector<QByteArray> screenOf(const QByteArray& kind, int screen) {
    if (kind == "pdf") {
        const std::vector<QByteArray> all = variants(plainPdf(), 2 * burstAvatars);
        return {all.begin() + screen * burstAvatars, all.begin() + (screen + 1) * burstAvatars};
    }
    std::vector<QByteArray> all;
    for (int i = 0; i < burstAvatars; ++i) {
        QImage image(side, side, QImage::Format_ARGB32);
        image.fill(QColor::fromHsv((screen * burstAvatars + i) * 4 % 360, 160, 200));
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
        all.push_back(png);
    }
    return all;
}

// Draws `documents` at once on the image threads, as a screen of avatars is drawn; false
// unless each was drawn.
bool drawAtOnce(const std::vector<QByteArray>& documents) {
    std::mutex mutex;
    std::condition_variable allDone;
    std::size_t done = 0;
    std::size_t drawn = 0;
    for (const QByteArray& document : documents) {
        DispatchQueue::global().async([&, document] {
            DecodeOptions options;
            options.thumbnailPixelSize = QSizeF(side, side);
            const bool ok =
                !ImageCodersManager::sharedManager()->decodedImageWithData(document, options).isNull();
            std::lock_guard lock(mutex);
            ++done;
            drawn += ok ? 1 : 0;
            allDone.notify_all();
        });
    }
    std::unique_lock lock(mutex);
    allDone.wait(lock, [&] { return done == documents.size(); });
    return drawn == documents.size();
}

// A screen of 40 avatars of 40 people at once on the image threads, half SVG and half PDF, each
// document new (no drawing before had its bytes): the wall time from the first ask to the last
// avatar drawn. `cold`: no drawing process (nor template) runs at first, as at the app's first
// screen of avatars or one after a minute without any; otherwise as the last screen left them.
std::vector<QByteArray> distinctAvatars() {
    static int screen = 0;
    std::vector<QByteArray> documents;
    for (int i = 0; i < burstAvatars; ++i) {
        const QByteArray& kind = i % 2 ? plainPdf() : plainSvg();
        const QByteArray mark = QByteArray::number(screen) + '-' + QByteArray::number(i);
        documents.push_back(kind +
                            (kind.startsWith("%PDF") ? "% " + mark + "\n" : "<!-- " + mark + " -->\n"));
    }
    ++screen;
    return documents;
}

void fortyDistinctAvatars(benchmark::State& state, bool cold) {
    const QString program = VectorRenderHost::programPath();
    for (auto _ : state) {
        state.PauseTiming();
        const std::vector<QByteArray> documents = distinctAvatars();
        if (cold) {
            VectorRenderHost::useProgram(program);
        }
        state.ResumeTiming();
        if (!drawAtOnce(documents)) {
            state.SkipWithError("an avatar was not drawn");
            break;
        }
    }
}

void BM_FortyDistinctAvatarsAtOnce(benchmark::State& state) {
    fortyDistinctAvatars(state, false);
}

void BM_FortyDistinctAvatarsAtOnceCold(benchmark::State& state) {
    fortyDistinctAvatars(state, true);
}

// The child: draws a screen of 40 avatars of `kind` ("pdf" or "png") at once, and two seconds
// later the next screen (a Page Down), then prints what it and its drawing processes hold at
// each of `checkpoints` (seconds after the drawings ended):
//   started <drawing processes started>
//   at <seconds> <own RssAnon KiB> <drawing processes> <their RssAnon KiB> <their VmRSS KiB>
int idleChild(const QByteArray& kind, const std::vector<int>& checkpoints) {
    const qint64 self = ::getpid();
    std::atomic<bool> drawing{true};
    std::set<qint64> seen;
    std::thread sampler([&] {
        while (drawing.load()) {
            const std::vector<qint64> alive = velmora::bench::childrenOf(self);
            seen.insert(alive.begin(), alive.end());
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    const bool drawn = drawAtOnce(screenOf(kind, 0)) && (QThread::sleep(2), drawAtOnce(screenOf(kind, 1)));
    drawing.store(false);
    sampler.join();
    if (!drawn) {
        std::printf("an avatar was not drawn\n");
        return 1;
    }
    std::printf("started %zu\n", seen.size());
    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    for (const int seconds : checkpoints) {
        std::this_thread::sleep_until(start + std::chrono::seconds(seconds));
        const auto helpers = velmora::bench::childrenMemory(self);
        std::printf("at %d %.0f %d %.0f %.0f\n", seconds,
                    velmora::bench::processStatusField(self, "RssAnon").value_or(0), helpers.count,
                    helpers.anonKiB, helpers.residentKiB);
        std::fflush(stdout);
    }
    return 0;
}

struct ChildFigures {
    double started = 0;
    double ownAnonKiB = 0;
    int helpers = 0;
    double helpersAnonKiB = 0;
};

std::optional<ChildFigures> readChild(QProcess& child) {
    if (!child.waitForFinished(5 * 60 * 1000) || child.exitCode() != 0) {
        return std::nullopt;
    }
    ChildFigures figures;
    bool measured = false;
    for (const QByteArray& line : child.readAllStandardOutput().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() == 2 && fields.at(0) == "started") {
            figures.started = fields.at(1).toDouble();
        } else if (fields.size() == 6 && fields.at(0) == "at") {
            figures.ownAnonKiB = fields.at(2).toDouble();
            figures.helpers = fields.at(3).toInt();
            figures.helpersAnonKiB = fields.at(4).toDouble();
            measured = true;
        }
    }
    return measured ? std::optional<ChildFigures>(figures) : std::nullopt;
}

// A minute after two screens of PDF avatars, against the same program that drew PNG avatars
// instead (its image threads and caches as busy, no drawing process): both children run side by
// side, so the minute is waited once. The minute is the real one, with the drawing processes'
// idle time as the app has it.
void BM_IdleMinuteAfterPdfAvatars(benchmark::State& state) {
    for (auto _ : state) {
        QProcess pdf;
        QProcess png;
        for (const auto& [child, kind] : {std::pair<QProcess*, const char*>{&pdf, "pdf"}, {&png, "png"}}) {
            child->setProcessChannelMode(QProcess::ForwardedErrorChannel);
            child->start(
                QCoreApplication::applicationFilePath(),
                {QString::fromLatin1(idleChildArgument), QString::fromLatin1(kind), QStringLiteral("60")});
        }
        const auto withPdf = readChild(pdf);
        const auto withPng = readChild(png);
        if (!withPdf || !withPng) {
            state.SkipWithError("a child did not measure");
            return;
        }
        state.counters["started"] = withPdf->started;
        state.counters["drawing_processes_left"] = withPdf->helpers;
        state.counters["pdf_mib"] = (withPdf->ownAnonKiB + withPdf->helpersAnonKiB) / 1024;
        state.counters["png_mib"] = (withPng->ownAnonKiB + withPng->helpersAnonKiB) / 1024;
    }
}

// Each side many times over, all four interleaved in a random order, the medians compared;
// a sample is a fifth of a second of drawings (some hundreds), so a moment's noise on the
// machine cannot move a ratio bound at one and a half.
constexpr int repetitions = 15;
BENCHMARK(BM_SvgAvatarRoad)->Repetitions(repetitions)->MinTime(0.2);
BENCHMARK(BM_SvgBareQSvgRenderer)->Repetitions(repetitions)->MinTime(0.2);
BENCHMARK(BM_PdfAvatarRoad)->Repetitions(repetitions)->MinTime(0.2);
BENCHMARK(BM_PdfBarePoppler)->Repetitions(repetitions)->MinTime(0.2);
BENCHMARK(BM_DrawingProcessStart)->Repetitions(5)->Iterations(20)->UseRealTime();
BENCHMARK(BM_TemplateStart)->Repetitions(5)->Iterations(10)->UseRealTime();
BENCHMARK(BM_FortyDistinctAvatarsAtOnce)
    ->Repetitions(9)
    ->Iterations(5)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FortyDistinctAvatarsAtOnceCold)
    ->Repetitions(9)
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IdleMinuteAfterPdfAvatars)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen") : qgetenv("QT_QPA_PLATFORM"));
    QGuiApplication app(argc, argv);
    // As the app registers it, so that SVG avatars decode.
    ImageCodersManager::sharedManager()->addCoder(ImageSVGCoder::sharedCoder());
    if (argc >= 4 && std::strcmp(argv[1], idleChildArgument) == 0) {
        std::vector<int> checkpoints;
        for (int i = 3; i < argc; ++i) {
            checkpoints.push_back(std::atoi(argv[i]));
        }
        return idleChild(argv[2], checkpoints);
    }
    Poppler::setDebugErrorFunction([](const QString&, const QVariant&) {}, QVariant());
    velmora::bench::Bounds bounds;
    // Both roads draw in the drawing process, so their wall time is compared. A plain SVG avatar
    // is some 40-60 microseconds of QtSvg's work; the road adds to it the filter's pass over the
    // document (written anew before QtSvg reads it) and one request to the process, which fits
    // the canvas to the avatar and answers its size and pixels together: a write, a wake-up of
    // the other process and a read. Those wake-ups cost most on a quiet machine, whose idle cores
    // sleep deeper. Side by side at a load of 4-8 (8 cores), the road took 4.1-5.3 times the bare
    // render, where two requests (the canvas, then its pixels) took 5.7-8.2; at a load of 40 both
    // take 2.5-3.3, the wake-ups being cheap there. Hence seven times, which the two requests'
    // road broke there and a process started per avatar (some 14 ms) breaks at once; a PDF
    // page's heavier drawing leaves room for one and a half.
    bounds.timeRatio("plain SVG avatar at 60 px: avatar road / QSvgRenderer", "BM_SvgAvatarRoad",
                     "BM_SvgBareQSvgRenderer", 7.0);
    // What the asking thread itself spends (its CPU time: the request and the bitmap it is
    // handed) against drawing in process: 0.9-1.2 times at a load of 4-8, where two requests
    // took 1.4-2.1; 0.55-1.0 at a load of 40.
    bounds.cpuTimeRatio("plain SVG avatar at 60 px, the asking thread's CPU: avatar road / QSvgRenderer",
                        "BM_SvgAvatarRoad", "BM_SvgBareQSvgRenderer", 2.0);
    bounds.timeRatio("plain PDF avatar at 60 px: avatar road / Poppler in process", "BM_PdfAvatarRoad",
                     "BM_PdfBarePoppler", 1.5);
    using velmora::bench::Bounds;
    using velmora::bench::Measurement;
    const auto secondsOf = [](const char* benchmark) {
        return [benchmark](const velmora::bench::Runs& runs) -> std::optional<Measurement> {
            const auto* figures = runs.find(benchmark);
            if (!figures || figures->failed) {
                return std::nullopt;
            }
            return Measurement{velmora::bench::Quantity::seconds(figures->seconds), std::nullopt};
        };
    };
    // A drawing process's start (a copy of the template made ready, confined, greeting) and its
    // first small drawing: 3-6 ms at a load of 3-10. A start that ran the program again per
    // document (24-38 ms) breaks it.
    bounds.atMost("a drawing process's start and its first plain PDF avatar",
                  secondsOf("BM_DrawingProcessStart"), 0.025);
    // The program's start as the template, its first drawing of what drawing loads, and its first
    // copy: 28-44 ms at a load of 3-10 (a drawing process's start was 24-29 ms before templates).
    bounds.atMost("the template's start and its first plain PDF avatar", secondsOf("BM_TemplateStart"), 0.15);
    // A screen of 40 avatars of 40 people, one process per document, from no process running, as
    // at the app's first screen of avatars. Before processes were made per document (the pool's
    // processes, 8 here, drew them all) the same screen took 43-53 ms at a load of 3-8, and 58-94
    // ms at 8-10, where this took 63-67; on a quiet machine, whose idle cores sleep deeper, 70-72.
    // The bound holds what a process per document costs, not the pool's.
    bounds.atMost("a screen of 40 avatars of 40 people, from no process",
                  secondsOf("BM_FortyDistinctAvatarsAtOnceCold"), 0.080);
    // The same screen after another, the templates running: each avatar costs a copy of a template
    // and its confinement (some 2.5 ms of CPU) where the pool's processes were kept, so it takes
    // 30-31 ms where the pool took 11-19 (load 8-10). The bound holds that cost, not the pool's.
    bounds.atMost("a screen of 40 avatars of 40 people, after another",
                  secondsOf("BM_FortyDistinctAvatarsAtOnce"), 0.040);
    using velmora::bench::Quantity;
    using velmora::bench::Runs;
    const auto idleCounter = [](const char* name) {
        return [name](const Runs& runs) -> std::optional<Measurement> {
            const auto value = Bounds::counter(runs, "BM_IdleMinuteAfterPdfAvatars", name);
            return value ? std::optional<Measurement>({Quantity::count(*value), std::nullopt}) : std::nullopt;
        };
    };
    // One process per document, and templates no more than the drawing slots.
    bounds.atMost("two screens of 40 PDF avatars at once: processes started", idleCounter("started"),
                  2 * burstAvatars + VectorRenderHost::maxBusyProcesses());
    bounds.atMost("a minute after them: drawing processes left", idleCounter("drawing_processes_left"), 0);
    bounds.atMost(
        "a minute after them: anonymous, with drawing processes / after PNG ones",
        [](const Runs& runs) -> std::optional<Measurement> {
            const auto pdf = Bounds::counter(runs, "BM_IdleMinuteAfterPdfAvatars", "pdf_mib");
            const auto png = Bounds::counter(runs, "BM_IdleMinuteAfterPdfAvatars", "png_mib");
            if (!pdf || !png) {
                return std::nullopt;
            }
            return Measurement{Quantity::mib(*pdf), Quantity::mib(*png)};
        },
        1.15);
    return velmora::bench::runInterleaved(argc, argv, bounds);
}
