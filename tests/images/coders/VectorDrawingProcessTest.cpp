#include "images/coders/ImageCodersManager.h"
#include "images/coders/ImageIOCoder.h"
#include "images/coders/ImageSVGCoder.h"
#include "images/coders/SvgDocumentFilter.h"
#include "images/coders/vector-render/DrawingConfinement.h"
#include "images/coders/vector-render/ProcessCpuClock.h"
#include "images/coders/vector-render/VectorRenderHost.h"
#include "images/core/DecodeAttempt.h"
#include "images/core/DecodeOptions.h"
#include "images/core/DispatchQueue.h"
#include "images/core/ImageLibraryLog.h"
#include "images/core/Teardown.h"
#include "tests/images/support/ChildProcesses.h"
#include "tests/images/support/DrawingProgram.h"
#include "tests/images/support/KernelStandIn.h"
#include "tests/support/PdfDocuments.h"
#include "tests/support/TimeScale.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QScopeGuard>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

extern char** environ;

using namespace velmora::images;
using namespace velmora::images::testing;
using velmora::test::pdfOf;

namespace {

// A time bound, stretched on a busy or instrumented machine (see TimeScale.h).
int scaled(int milliseconds) {
    return velmora::test::scaledMs(milliseconds);
}

// What a drawing that is stopped takes at most, seen from the test: the budget and the kill that
// backs it (two seconds) with ample room for a busy machine and the sanitizers. Each document
// below kept an image thread of the app busy far longer (see each one).
constexpr int answeredWithinMs = 10000;

QByteArray svgOf(const QByteArray& body, const QByteArray& defs = {}) {
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\" "
           "width=\"60\" height=\"60\">" +
           defs + body + "</svg>\n";
}

// A path of this many segments, crossing the em square or canvas back and forth.
QByteArray crossingPath(int segments, int extent) {
    QByteArray d = "M0 0";
    d.reserve(segments * 10);
    for (int i = 0; i < segments; ++i) {
        d += 'L' + QByteArray::number(i * 37 % extent) + ' ' + QByteArray::number(i * 91 % extent);
    }
    return d;
}

struct Hostile {
    const char* name;
    QByteArray data;
    // Whether a fast machine may draw it within the budget all the same.
    bool mayBeDrawn = false;
};

// What each kept an image thread of the app busy for before SVG was drawn in the drawing process
// (at 60 pixels, optimised build, a loaded machine): in the comment.
QList<Hostile> hostileSvgs() {
    QByteArray attributes = "<g";
    for (int i = 0; i < 200000; ++i) {
        attributes += " a" + QByteArray::number(i) + "=\"1\"";
    }
    QByteArray points;
    for (int i = 0; i < 2000000; ++i) {
        points += QByteArray::number(i % 60) + ',' + QByteArray::number(i * 7 % 60) + ' ';
    }
    return {
        // 42 s: 19,000 drawings of one path of 200,000 segments.
        {"uses of one long path", svgOf(QByteArray("<use xlink:href=\"#p\"/>").repeated(19000),
                                        "<defs><path id=\"p\" stroke=\"#000\" fill=\"none\" d=\"" +
                                            crossingPath(200000, 60) + "\"/></defs>")},
        // More than 60 s: 19,990 layouts of one text within the filter's share of text.
        {"uses of one text", svgOf(QByteArray("<use xlink:href=\"#t\"/>").repeated(19990),
                                   "<defs><text id=\"t\" font-size=\"4\">" +
                                       QByteArray("abcdefghij").repeated(299) + "</text></defs>")},
        // 7.6 s with a tenth of the uses: a glyph of an SVG font, of 100,000 segments, drawn by
        // 1,000 uses of its text.
        {"font glyph",
         svgOf(QByteArray("<use xlink:href=\"#t\"/>").repeated(1000),
               "<font id=\"f\" horiz-adv-x=\"1000\"><font-face font-family=\"F\" units-per-em=\"1000\"/>"
               "<glyph unicode=\"a\" horiz-adv-x=\"1000\" d=\"" +
                   crossingPath(100000, 1000) +
                   "\"/></font><defs><text id=\"t\" font-family=\"F\" font-size=\"40\" "
                   "y=\"40\">a</text></defs>")},
        // More than 60 s: the XML reader is quadratic in the attributes of one element.
        {"200,000 attributes", svgOf(attributes + "/>")},
        // 8.7 s, and 700 MB at its peak: an 18 MB style attribute.
        {"18 MB style", svgOf("<rect width=\"60\" height=\"60\" style=\"" +
                              QByteArray("fill:red;").repeated(2000000) + "\"/>")},
        // 4.9 s: a polyline of 2,000,000 points (the drawing process may draw it in its budget).
        {"2,000,000 points", svgOf("<polyline stroke=\"#000\" fill=\"none\" points=\"" + points + "\"/>"),
         true},
    };
}

const QByteArray plainSvg = svgOf("<rect width=\"60\" height=\"60\" fill=\"#ff0000\"/>");

const QByteArray plainPdfContent = "1 0 0 rg 0 0 60 60 re f";
const QByteArray plainPdf =
    pdfOf({"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
           "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 60 60] /Contents 4 0 R >>",
           "<< /Length " + QByteArray::number(plainPdfContent.size()) + " >>\nstream\n" + plainPdfContent +
               "\nendstream"});

// The avatar road: a 60 pixel thumbnail through the registry, with the SVG coder as the app has it.
Image avatar(const QByteArray& data) {
    static const bool registered = [] {
        ImageCodersManager::sharedManager()->addCoder(ImageSVGCoder::sharedCoder());
        return true;
    }();
    (void)registered;
    DecodeOptions options;
    options.thumbnailPixelSize = QSizeF(60, 60);
    return ImageCodersManager::sharedManager()->decodedImageWithData(data, options);
}

bool isRedAvatar(const Image& image) {
    const QImage bitmap = image.bitmap();
    if (bitmap.isNull()) {
        return false;
    }
    const QColor centre = bitmap.pixelColor(bitmap.width() / 2, bitmap.height() / 2);
    return centre.red() > 200 && centre.green() < 60 && centre.blue() < 60;
}

// Waits until each of `pids` is done confining itself; false if one is not within the bound.
bool allDoneConfining(const QList<qint64>& pids) {
    QElapsedTimer waited;
    waited.start();
    while (!std::all_of(pids.begin(), pids.end(), doneConfining)) {
        if (waited.elapsed() > velmora::test::scaledMs(10000)) {
            return false;
        }
        QThread::msleep(1);
    }
    return true;
}

// The drawing processes this process started (running or stopped, not yet reaped).
QList<pid_t> drawingProcesses() {
    const QString program = QFileInfo(VectorRenderHost::programPath()).canonicalFilePath();
    QList<pid_t> found;
    for (const qint64 pid : childProcesses(true)) {
        if (QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).canonicalFilePath() == program) {
            found.append(pid_t(pid));
        }
    }
    return found;
}

VectorRenderProtocol::Request pageSizeOf(const QByteArray& pdf) {
    VectorRenderProtocol::Request request;
    request.document = pdf;
    return request;
}

// One finely dashed path drawn `uses` times: some tens of milliseconds of CPU a hundred uses,
// within the budget at a few hundred. `variant` makes the bytes differ.
QByteArray dashedUsesSvg(int uses, int variant = 0) {
    QByteArray path = "<path id=\"p\" d=\"M0 " + QByteArray::number(variant % 60);
    for (int j = 0; j < 400; ++j) {
        path += " L" + QByteArray::number((j * 37) % 60) + " " + QByteArray::number((j * 53) % 60);
    }
    path += "\" stroke=\"black\" stroke-width=\"0.3\" stroke-dasharray=\"0.05\" fill=\"red\"/>";
    return svgOf(QByteArray("<use xlink:href=\"#p\"/>").repeated(uses), "<defs>" + path + "</defs>");
}

// The CPU time a process has used so far, in milliseconds.
qint64 cpuMsOf(pid_t pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) {
        return -1;
    }
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    // utime and stime, the 14th and 15th fields of the line.
    return fields.size() > 12
               ? (fields.at(11).toLongLong() + fields.at(12).toLongLong()) * 1000 / ::sysconf(_SC_CLK_TCK)
               : -1;
}

// What the image library logs while it lives (from any thread).
class DrawingLog {
public:
    DrawingLog() {
        std::lock_guard lock(mutex());
        current() = this;
        m_previous =
            qInstallMessageHandler([](QtMsgType, const QMessageLogContext& context, const QString& text) {
                std::lock_guard lock(mutex());
                if (current() &&
                    QLatin1String(context.category) == QLatin1String(imageLibraryLog().categoryName())) {
                    current()->m_lines.append(text);
                }
            });
    }
    ~DrawingLog() {
        qInstallMessageHandler(m_previous);
        std::lock_guard lock(mutex());
        current() = nullptr;
    }
    DrawingLog(const DrawingLog&) = delete;
    DrawingLog& operator=(const DrawingLog&) = delete;

    QStringList lines() const {
        std::lock_guard lock(mutex());
        return m_lines;
    }

private:
    static std::mutex& mutex() {
        static std::mutex instance;
        return instance;
    }
    static DrawingLog*& current() {
        static DrawingLog* instance = nullptr;
        return instance;
    }
    QtMessageHandler m_previous = nullptr;
    QStringList m_lines;
};

const char* quitChildVariable = "VELMORA_SVG_QUIT_CHILD";
const char* deletedBinaryChildVariable = "VELMORA_DELETED_BINARY_CHILD";
const char* killedChildVariable = "VELMORA_KILLED_APP_CHILD";
const char* secretVariable = "VELMORA_NOT_FOR_THE_DRAWING_PROCESS";

// The image library's warnings while it lives.
class WarningCapture {
public:
    WarningCapture() {
        std::lock_guard lock(mutex());
        captured().clear();
        m_previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) {
            std::lock_guard lock(mutex());
            captured().append(text);
        });
    }
    ~WarningCapture() { qInstallMessageHandler(m_previous); }
    // How many warnings so far contain `words`.
    int count(const QString& words) const {
        std::lock_guard lock(mutex());
        return int(std::count_if(captured().begin(), captured().end(),
                                 [&words](const QString& text) { return text.contains(words); }));
    }

private:
    static std::mutex& mutex() {
        static std::mutex instance;
        return instance;
    }
    static QStringList& captured() {
        static QStringList instance;
        return instance;
    }
    QtMessageHandler m_previous = nullptr;
};

} // namespace

namespace {

// The plain avatar drawn: at once, or, on a machine so busy that even its drawing ran out of its
// wall time (which is never held against it), when asked again.
bool plainAvatarDrawn(QString* why) {
    for (int asked = 1; asked <= 3; ++asked) {
        const DecodeAttempt attempt;
        if (isRedAvatar(avatar(plainSvg))) {
            return true;
        }
        if (attempt.ranOutOfBudget() || !attempt.hadNoDrawing()) {
            *why = QStringLiteral("refused when asked %1 times").arg(asked);
            return false;
        }
    }
    *why = QStringLiteral("no drawing when asked 3 times");
    return false;
}

} // namespace

TEST(VectorDrawingProcessTest, EveryHostileSvgIsAnsweredWithinTheBoundAndTheNextIsDrawn) {
    for (const Hostile& hostile : hostileSvgs()) {
        qint64 elapsed = 0;
        const auto drawn = within<bool>(
            scaled(answeredWithinMs), [data = hostile.data] { return !avatar(data).isNull(); }, &elapsed);
        ASSERT_TRUE(drawn.has_value()) << hostile.name << ": still drawing after " << elapsed << " ms";
        if (!hostile.mayBeDrawn) {
            EXPECT_FALSE(*drawn) << hostile.name;
        }
        QString why;
        EXPECT_TRUE(plainAvatarDrawn(&why)) << "after " << hostile.name << ": " << why.toStdString();
    }
}

TEST(VectorDrawingProcessTest, TheProcessStopsAnSvgAtItsOwnBudget) {
    // The program alone, no asking side to kill it, and its wall-time timer set far off: QtSvg
    // never asks whether to go on, so only the process's CPU-time timer can stop the drawing,
    // however long a busy machine takes to give it that time.
    SpawnedDrawingProgram program(VectorRenderHost::programPath(),
                                  {QStringLiteral("--wall-timer-ms=600000")});
    ASSERT_TRUE(program.greeted(scaled(answeredWithinMs)));
    VectorRenderProtocol::Request request;
    request.kind = VectorRenderProtocol::Kind::Svg;
    request.document = hostileSvgs().first().data;
    request.pixels = QSize(60, 60);
    const auto answer = program.ask(request, scaled(6 * answeredWithinMs));
    ASSERT_TRUE(answer.has_value()) << "no answer";
    EXPECT_EQ(answer->status, VectorRenderProtocol::Status::OverBudget);
}

TEST(VectorDrawingProcessTest, ADrawingStoppedByABusyMachineIsOutOfTimeNotOverBudget) {
    // The program alone: only its own timers end a drawing here.
    SpawnedDrawingProgram program(VectorRenderHost::programPath());
    ASSERT_TRUE(program.greeted(scaled(answeredWithinMs)));
    VectorRenderProtocol::Request request;
    request.kind = VectorRenderProtocol::Kind::Svg;
    request.pixels = QSize(60, 60);
    request.document = dashedUsesSvg(300, 1);
    const qint64 before = cpuMsOf(program.pid());
    const auto alone = program.ask(request, scaled(answeredWithinMs));
    ASSERT_TRUE(alone.has_value());
    std::printf("drawn alone in %lld ms of CPU\n", static_cast<long long>(cpuMsOf(program.pid()) - before));
    // Well within its CPU time: drawn, unless the machine is already too busy to draw it.
    EXPECT_NE(alone->status, VectorRenderProtocol::Status::OverBudget);

    // The same drawing given a fiftieth of a core: its wall time runs out long before its CPU time.
    // (In a process of its own: one whose drawing was stopped ends.)
    SpawnedDrawingProgram throttledProgram(VectorRenderHost::programPath());
    ASSERT_TRUE(throttledProgram.greeted(scaled(answeredWithinMs)));
    request.document = dashedUsesSvg(300, 2);
    ++request.id;
    const pid_t pid = throttledProgram.pid();
    std::optional<VectorRenderProtocol::Answer> throttled;
    {
        Throttle busy([pid] { return std::set<qint64>{pid}; }, 2);
        throttled = throttledProgram.ask(request, scaled(answeredWithinMs));
    }
    ASSERT_TRUE(throttled.has_value()) << "no answer";
    EXPECT_EQ(throttled->status, VectorRenderProtocol::Status::OutOfTime);
}

TEST(VectorDrawingProcessTest, APngAndAPlainPdfAreDrawnWhileSixSvgsDraw) {
    const QByteArray hostile = hostileSvgs().at(1).data;
    // Six, or as many as leave a drawing slot free on a machine with fewer cores.
    const int drawing = std::min(6, VectorRenderHost::maxBusyProcesses() - 1);
    auto ended = std::make_shared<std::atomic<int>>(0);
    for (int i = 0; i < drawing; ++i) {
        std::thread([hostile, ended] {
            (void)avatar(hostile);
            ++*ended;
        }).detach();
    }
    // Until each has been sent its document: drawing, not being started.
    int sent = 0;
    QElapsedTimer sending;
    sending.start();
    while (sent < drawing && sending.elapsed() < scaled(answeredWithinMs)) {
        sent += VectorRenderHost::takeCountsForTesting().sent;
        QThread::msleep(5);
    }
    ASSERT_GE(sent, drawing) << "the SVGs were not sent";
    QImage red(60, 60, QImage::Format_RGB32);
    red.fill(Qt::red);
    QByteArray png;
    {
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        red.save(&buffer, "PNG");
    }
    qint64 elapsed = 0;
    int endedMeanwhile = 0;
    const auto both = within<bool>(
        scaled(answeredWithinMs),
        [png, ended, &endedMeanwhile] {
            const bool drawn = isRedAvatar(avatar(png)) && isRedAvatar(avatar(plainPdf));
            endedMeanwhile = *ended;
            return drawn;
        },
        &elapsed);
    ASSERT_TRUE(both.has_value()) << "still waiting";
    EXPECT_TRUE(*both);
    // Drawn beside them, not after them: some of the six still drew (each takes its budget, a
    // second or more, however busy the machine).
    EXPECT_LT(endedMeanwhile, drawing) << "drawn after " << elapsed << " ms";
    // And the six are stopped in their turn, before the test's objects go.
    const auto allEnded = within<bool>(scaled(answeredWithinMs), [ended, drawing] {
        while (*ended < drawing) {
            QThread::msleep(10);
        }
        return true;
    });
    EXPECT_TRUE(allEnded.has_value()) << "a drawing was never stopped";
}

// The half that runs in a child process: an SVG draws on the image threads, in a process stopped
// as soon as it is there and with no deadline of the asking side within the test, so that the
// drawing never ends by itself, when the library's teardown (as at quitting) begins; the child
// prints how long the teardown took.
TEST(VectorDrawingProcessTest, childQuitsWhileAnSvgDraws) {
    if (!qEnvironmentVariableIsSet(quitChildVariable)) {
        GTEST_SKIP() << "started by QuittingWhileAnSvgDrawsNeverWaitsForIt";
    }
    VectorRenderHost::setAnswerDeadlineMsForTesting(10 * 60 * 1000);
    DispatchQueue::global().async([] { (void)avatar(plainSvg); });
    QElapsedTimer waited;
    waited.start();
    QList<pid_t> drawing;
    while ((drawing = drawingProcesses()).isEmpty() && waited.elapsed() < scaled(answeredWithinMs)) {
        QThread::msleep(1);
    }
    ASSERT_FALSE(drawing.isEmpty()) << "no drawing started";
    for (const pid_t pid : drawing) {
        ::kill(pid, SIGSTOP);
    }
    QElapsedTimer timer;
    timer.start();
    Teardown::run();
    std::printf("teardown took %lld ms\n", static_cast<long long>(timer.elapsed()));
}

TEST(VectorDrawingProcessTest, QuittingWhileAnSvgDrawsNeverWaitsForIt) {
    if (qEnvironmentVariableIsSet(quitChildVariable)) {
        GTEST_SKIP();
    }
    QProcess child;
    startTestInChild(child, quitChildVariable,
                     QStringLiteral("VectorDrawingProcessTest.childQuitsWhileAnSvgDraws"));
    // A teardown that waited for the drawing would wait for ten minutes.
    ASSERT_TRUE(child.waitForFinished(scaled(60000)));
    const QString output = QString::fromUtf8(child.readAll());
    // Ended with status 0: no crash in a drawing left running after main returned.
    ASSERT_EQ(child.exitStatus(), QProcess::NormalExit) << output.toStdString();
    ASSERT_EQ(child.exitCode(), 0) << output.toStdString();
    const auto tookMs = teardownMsIn(output);
    ASSERT_TRUE(tookMs.has_value()) << output.toStdString();
    // Some tens of milliseconds on a quiet machine; a loaded one, whose threads wait their turn
    // for the cores, takes more, never the drawing's time.
    std::printf("teardown took %d ms\n", *tookMs);
    EXPECT_LT(*tookMs, scaled(5000)) << output.toStdString();
}

TEST(VectorDrawingProcessTest, AnImageLinkToAFragmentOpensNothing) {
    // QtSvg took "#name" for a file name, in the working directory.
    QTemporaryDir directory;
    QImage red(16, 16, QImage::Format_RGB32);
    red.fill(Qt::red);
    for (const char* name : {"#name", "#name.png", "name", "name.png"}) {
        ASSERT_TRUE(red.save(directory.filePath(QString::fromLatin1(name)), "PNG"));
    }
    const QString before = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(directory.path()));
    const auto restore = qScopeGuard([before] { QDir::setCurrent(before); });
    const QByteArray document =
        svgOf("<rect width=\"60\" height=\"60\" fill=\"#ffffff\"/>"
              "<image x=\"0\" y=\"0\" width=\"60\" height=\"60\" xlink:href=\"#name\"/>"
              "<image x=\"0\" y=\"0\" width=\"60\" height=\"60\" href=\"#name\"/>");
    const QImage bitmap = avatar(document).bitmap();
    ASSERT_FALSE(bitmap.isNull());
    EXPECT_EQ(QColor(bitmap.pixel(30, 30)), QColor(Qt::white));
    // The filter keeps no such link, whatever process reads what it writes.
    const QByteArray filtered = SvgDocumentFilter::withoutExternalReferences(document);
    ASSERT_FALSE(filtered.isEmpty());
    EXPECT_FALSE(filtered.contains("#name")) << filtered.toStdString();
    // A link to a fragment elsewhere stays.
    EXPECT_TRUE(
        SvgDocumentFilter::withoutExternalReferences(svgOf("<use xlink:href=\"#name\"/>")).contains("#name"));
}

TEST(VectorDrawingProcessTest, AProcessOutlivesTheThreadThatAskedFirst) {
    // The kernel sends the death signal when the thread that forked ends: processes are started
    // from a thread that lives with the app, never from the image thread that asks.
    VectorRenderHost::setIdleExitMsForTesting(10 * 60 * 1000);
    const auto idleTimeBack = qScopeGuard([] { VectorRenderHost::setIdleExitMsForTesting(0); });
    const QByteArray document = svgOf("<rect width=\"60\" height=\"60\" fill=\"#ff0000\"/><!-- outlives -->");
    std::thread([&document] { ASSERT_TRUE(isRedAvatar(avatar(document))); }).join();
    const QList<pid_t> started = drawingProcesses();
    ASSERT_FALSE(started.isEmpty());
    // The same document again, from this thread: drawn by the process the ended thread asked,
    // which is still there for it.
    (void)VectorRenderHost::takeCountsForTesting();
    EXPECT_TRUE(isRedAvatar(avatar(document)));
    EXPECT_EQ(VectorRenderHost::takeCountsForTesting().started, 0)
        << "the process did not outlive the thread";
    for (const pid_t pid : started) {
        const char state = processState(pid);
        // Waiting, or stopped by itself until it is asked again.
        EXPECT_TRUE(state == 'S' || state == 'R' || state == 'T')
            << "process " << pid << " in state " << state;
    }
}

TEST(VectorDrawingProcessTest, TheProgramConfinesItselfAndStillDrawsAPdfAndAnSvgWithText) {
    // Text in a font the PDF does not embed, and in the SVG: both read font files once confined.
    const QByteArray content = "BT /F1 30 Tf 4 16 Td (Wg) Tj ET";
    const QByteArray pdf =
        pdfOf({"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
               "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 60 60] /Resources << /Font << /F1 5 0 R >> >> "
               "/Contents 4 0 R >>",
               "<< /Length " + QByteArray::number(content.size()) + " >>\nstream\n" + content + "\nendstream",
               "<< /Type /Font /Subtype /Type1 /BaseFont /Courier-Bold >>"});
    const QByteArray svg = svgOf("<text x=\"2\" y=\"44\" font-family=\"sans-serif\" font-weight=\"bold\" "
                                 "font-size=\"36\">Wg</text>");
    const auto inked = [](const Image& image) {
        const QImage bitmap = image.bitmap();
        int count = 0;
        for (int y = 0; y < bitmap.height(); ++y) {
            for (int x = 0; x < bitmap.width(); ++x) {
                count += qAlpha(bitmap.pixel(x, y)) > 128 && qGray(bitmap.pixel(x, y)) < 128 ? 1 : 0;
            }
        }
        return count;
    };
    EXPECT_GT(inked(avatar(pdf)), 40) << "no text in the PDF";
    EXPECT_GT(inked(avatar(svg)), 40) << "no text in the SVG";
    const QList<pid_t> processes = drawingProcesses();
    ASSERT_FALSE(processes.isEmpty());
    ASSERT_TRUE(allDoneConfining(QList<qint64>(processes.begin(), processes.end())));
    for (const pid_t pid : processes) {
        QFile status(QStringLiteral("/proc/%1/status").arg(pid));
        if (!status.open(QIODevice::ReadOnly)) {
            continue; // ended meanwhile
        }
        const QByteArray text = status.readAll();
        if (text.contains("State:\tZ")) {
            continue;
        }
        // In filter mode, under one filter of its own, on each of its threads: no more than
        // drawing runs.
        const QStringList threads =
            QDir(QStringLiteral("/proc/%1/task").arg(pid)).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        EXPECT_LE(threads.size(), DrawingConfinement::drawingThreads) << "process " << pid;
        for (const QString& thread : threads) {
            QFile threadStatus(QStringLiteral("/proc/%1/task/%2/status").arg(pid).arg(thread));
            if (!threadStatus.open(QIODevice::ReadOnly)) {
                continue;
            }
            const QByteArray threadText = threadStatus.readAll();
            EXPECT_TRUE(threadText.contains("Seccomp:\t2"))
                << "thread " << thread.toStdString() << " of " << pid << ":\n"
                << threadText.toStdString();
            EXPECT_TRUE(threadText.contains("Seccomp_filters:\t1")) << "thread " << thread.toStdString();
        }
    }
    // The templates they were copied from read no document and are never confined.
    int templates = 0;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile status(QStringLiteral("/proc/%1/status").arg(entry));
        if (!status.open(QIODevice::ReadOnly)) {
            continue;
        }
        const QByteArray text = status.readAll();
        if (!text.startsWith("Name:\tvector-template\n") ||
            !text.contains("\nPPid:\t" + QByteArray::number(::getpid()) + "\n")) {
            continue;
        }
        ++templates;
        EXPECT_TRUE(text.contains("Seccomp:\t0")) << "template " << entry.toStdString();
    }
    EXPECT_GE(templates, 1);
}

// The half that runs in a child process: it starts a drawing process, looks at what that process
// was given, prints its id and stops it (a stopped process reads no end of its socket and runs
// no timer), then waits to be killed.
TEST(VectorDrawingProcessTest, childIsKilledWithADrawingProcess) {
    if (!qEnvironmentVariableIsSet(killedChildVariable)) {
        GTEST_SKIP() << "started by AnAppKilledLeavesNoDrawingProcess";
    }
    ASSERT_TRUE(qEnvironmentVariableIsSet(secretVariable));
    ASSERT_TRUE(isRedAvatar(avatar(plainSvg)));
    const QList<pid_t> processes = drawingProcesses();
    ASSERT_FALSE(processes.isEmpty());
    const pid_t pid = processes.first();
    // An emptied working directory, no way to gain privileges, not the app's environment.
    EXPECT_TRUE(
        QFile::symLinkTarget(QStringLiteral("/proc/%1/cwd").arg(pid)).endsWith(QStringLiteral("(deleted)")) ||
        QFileInfo(QStringLiteral("/proc/%1/cwd").arg(pid))
            .symLinkTarget()
            .endsWith(QStringLiteral("(deleted)")));
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    ASSERT_TRUE(status.open(QIODevice::ReadOnly));
    EXPECT_TRUE(status.readAll().contains("NoNewPrivs:\t1"));
    QFile environment(QStringLiteral("/proc/%1/environ").arg(pid));
    ASSERT_TRUE(environment.open(QIODevice::ReadOnly));
    const QByteArray variables = environment.readAll();
    EXPECT_FALSE(variables.contains(secretVariable));
    EXPECT_TRUE(variables.contains("QT_QPA_PLATFORM=offscreen"));
    ::kill(pid, SIGSTOP);
    std::printf("drawing process %d\n", int(pid));
    std::fflush(stdout);
    QThread::sleep(120);
}

namespace {

// What the descriptor `fd` of process `pid` is: a path, or "socket:[...]", "anon_inode:[...]".
QByteArray descriptorTarget(qint64 pid, const QString& fd) {
    char target[4096];
    const QByteArray link = QFile::encodeName(QStringLiteral("/proc/%1/fd/%2").arg(pid).arg(fd));
    const ssize_t length = ::readlink(link.constData(), target, sizeof target);
    return length > 0 ? QByteArray(target, length) : QByteArray();
}

QStringList descriptorsOf(qint64 pid) {
    return QDir(QStringLiteral("/proc/%1/fd").arg(pid))
        .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
}

// A drawing process holds its socket (as its input and output) and the error stream, and what it
// made itself: the eventfd that wakes its drawing thread. Not the program's file, nor a
// descriptor of its template's (what the template held for its confinement included).
void expectOnlyItsOwnDescriptors(qint64 pid) {
    ASSERT_TRUE(allDoneConfining({pid}));
    const QStringList open = descriptorsOf(pid);
    ASSERT_GE(open.size(), 3) << "cannot look at process " << pid;
    EXPECT_EQ(open.mid(0, 3), QStringList({QStringLiteral("0"), QStringLiteral("1"), QStringLiteral("2")}))
        << pid;
    EXPECT_TRUE(descriptorTarget(pid, QStringLiteral("0")).startsWith("socket:"));
    EXPECT_EQ(descriptorTarget(pid, QStringLiteral("1")), descriptorTarget(pid, QStringLiteral("0")));
    EXPECT_EQ(descriptorTarget(pid, QStringLiteral("2")), "/dev/null");
    for (const QString& fd : open.mid(3)) {
        EXPECT_EQ(descriptorTarget(pid, fd), "anon_inode:[eventfd]")
            << "descriptor " << fd.toStdString() << " of process " << pid;
    }
}

} // namespace

TEST(VectorDrawingProcessTest, ADrawingProcessAndItsTemplateHoldNoneOfTheAppsDescriptors) {
    // A file the app holds open without close-on-exec, as a library of the app's might.
    QTemporaryDir directory;
    const QString secret = directory.filePath(QStringLiteral("held-by-the-app"));
    const int held = ::open(QFile::encodeName(secret).constData(), O_CREAT | O_RDWR, 0600);
    ASSERT_GE(held, 0);
    const auto closeIt = qScopeGuard([held] { ::close(held); });
    const auto usual = qScopeGuard([] { VectorRenderHost::setCloseRangeForTesting(true); });
    for (const bool closeRange : {true, false}) {
        VectorRenderHost::setCloseRangeForTesting(closeRange);
        // Processes started from now on.
        VectorRenderHost::useProgram(VectorRenderHost::programPath());
        ASSERT_TRUE(isRedAvatar(avatar(plainSvg)));
        // The template too: its copies close what they were given once again, so the template
        // alone tells whether the app's descriptors were closed as it started, one by one where
        // close_range is missing.
        const std::set<qint64> templates = templateProcesses();
        ASSERT_FALSE(templates.empty());
        QList<qint64> processes(templates.begin(), templates.end());
        for (const pid_t pid : drawingProcesses()) {
            processes.append(pid);
        }
        for (const qint64 pid : processes) {
            const QStringList open = descriptorsOf(pid);
            ASSERT_FALSE(open.isEmpty()) << "cannot look at process " << pid;
            for (const QString& descriptor : open) {
                EXPECT_NE(descriptorTarget(pid, descriptor), QFile::encodeName(secret))
                    << "descriptor " << descriptor.toStdString() << " of process " << pid
                    << (templates.count(pid) ? " (the template)" : "")
                    << (closeRange ? "" : ", without close_range");
            }
        }
    }
    // It draws a plain page without opening any.
    const QByteArray document = svgOf("<rect width=\"60\" height=\"60\" fill=\"#ff0000\"/><!-- held -->");
    ASSERT_TRUE(isRedAvatar(avatar(document)));
    for (const pid_t pid : drawingProcesses()) {
        expectOnlyItsOwnDescriptors(pid);
    }

    // So on a kernel without close_range, where each copy closes what it was given one by one.
    QTemporaryDir links;
    const QString standIn = links.filePath(QStringLiteral("close_range-ENOSYS"));
    ASSERT_TRUE(QFile::link(
        QCoreApplication::applicationDirPath() + QStringLiteral("/velmora_kernel_stand_in"), standIn));
    const QString real = VectorRenderHost::programPath();
    const auto back = qScopeGuard([real] { VectorRenderHost::useProgram(real); });
    VectorRenderHost::useProgram(standIn);
    ASSERT_TRUE(
        isRedAvatar(avatar(svgOf("<rect width=\"60\" height=\"60\" fill=\"#ff0000\"/><!-- one by one -->"))));
    const std::set<qint64> copies = childProcesses();
    ASSERT_FALSE(copies.empty());
    for (const qint64 pid : copies) {
        expectOnlyItsOwnDescriptors(pid);
    }
}

TEST(VectorDrawingProcessTest, AnAppKilledLeavesNoDrawingProcess) {
    if (qEnvironmentVariableIsSet(killedChildVariable)) {
        GTEST_SKIP();
    }
    qputenv(secretVariable, "1");
    QProcess child;
    startTestInChild(child, killedChildVariable,
                     QStringLiteral("VectorDrawingProcessTest.childIsKilledWithADrawingProcess"));
    qunsetenv(secretVariable);
    QString output;
    QElapsedTimer timer;
    timer.start();
    while (!output.contains(QStringLiteral("drawing process ")) && timer.elapsed() < scaled(60000) &&
           child.state() != QProcess::NotRunning) {
        child.waitForReadyRead(100);
        output += QString::fromUtf8(child.readAll());
    }
    const qsizetype at = output.indexOf(QStringLiteral("drawing process "));
    ASSERT_GE(at, 0) << output.toStdString();
    const pid_t pid = output.mid(at + 16).section(QLatin1Char('\n'), 0, 0).toInt();
    ASSERT_GT(pid, 0);
    const auto resume = qScopeGuard([pid] { ::kill(pid, SIGKILL); });
    child.kill();
    ASSERT_TRUE(child.waitForFinished(scaled(10000)));
    // Gone, or a zombie its new parent has not reaped yet: never still stopped, waiting.
    timer.restart();
    char state = processState(pid);
    while (state != 0 && state != 'Z' && timer.elapsed() < scaled(10000)) {
        QThread::msleep(20);
        state = processState(pid);
    }
    EXPECT_TRUE(state == 0 || state == 'Z') << "the drawing process is in state " << state;
    EXPECT_FALSE(output.contains(QStringLiteral("Failure"))) << output.toStdString();
}

// The app's side with another program beside the tests in place of the drawing program, started
// under a name that says how it behaves (a link to it); the real one again at the end.
class OtherProgramTest : public ::testing::Test {
protected:
    explicit OtherProgramTest(const char* program)
        : m_other(
              QFileInfo(QCoreApplication::applicationDirPath() + QLatin1Char('/') + QLatin1String(program))
                  .absoluteFilePath()) {}
    void SetUp() override {
        m_real = VectorRenderHost::programPath();
        ASSERT_TRUE(QFileInfo(m_other).isExecutable()) << m_other.toStdString();
    }
    void TearDown() override { VectorRenderHost::useProgram(m_real); }
    void use(const QString& name) {
        const QString link = m_directory.filePath(name);
        ASSERT_TRUE(QFile::link(m_other, link));
        VectorRenderHost::useProgram(link);
    }

    QTemporaryDir m_directory;
    QString m_real;
    QString m_other;
};

// A fake program that misbehaves as its name says (see fake-drawing-program).
class MisbehavingProgramTest : public OtherProgramTest {
protected:
    MisbehavingProgramTest() : OtherProgramTest("velmora_fake_drawing_program") {}
};

TEST_F(MisbehavingProgramTest, AProgramThatNeverGreetsHoldsARequestNoLongerThanItsDeadline) {
    use(QStringLiteral("silent"));
    VectorRenderHost::Failure failure = VectorRenderHost::Failure::None;
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(VectorRenderHost::ask(pageSizeOf(plainPdf), &failure));
    // Its start has a bound of its own, apart from the drawing's.
    EXPECT_LT(timer.elapsed(), VectorRenderHost::startDeadlineMs + scaled(1000));
    EXPECT_EQ(failure, VectorRenderHost::Failure::NoGreeting);
}

TEST_F(MisbehavingProgramTest, AnAnswerSentAheadIsNeverTakenForTheNextRequest) {
    // Sent before any request: of the right shape, but not the request's id.
    use(QStringLiteral("ahead"));
    VectorRenderHost::Failure failure = VectorRenderHost::Failure::None;
    EXPECT_FALSE(VectorRenderHost::ask(pageSizeOf(plainPdf), &failure));
    EXPECT_EQ(failure, VectorRenderHost::Failure::AnswerRefused);

    // Sent behind an answer, guessing the next id: never taken. A process kept for its document
    // that has said anything since is ended before it is asked again, so every request of the
    // same document is answered, each by a new process.
    use(QStringLiteral("chatty"));
    (void)VectorRenderHost::takeCountsForTesting();
    for (int i = 0; i < 6; ++i) {
        const auto answer = VectorRenderHost::ask(pageSizeOf(plainPdf), &failure);
        ASSERT_TRUE(answer.has_value()) << "request " << i << ": " << int(failure);
        EXPECT_EQ(answer->pageSize, QSizeF(60, 60)) << "request " << i;
    }
    EXPECT_EQ(VectorRenderHost::takeCountsForTesting().started, 6);
}

// One document, one process: a process that drew a document is given no other, however many are
// idle; it is kept to draw the same document again.
TEST_F(MisbehavingProgramTest, AProcessThatDrewOneDocumentIsNeverGivenAnother) {
    use(QStringLiteral("who"));
    VectorRenderHost::setIdleExitMsForTesting(10 * 60 * 1000);
    const auto idleTimeBack = qScopeGuard([] { VectorRenderHost::setIdleExitMsForTesting(0); });
    // The process that answered: the "who" program answers with its id.
    const auto whoAnswers = [](const QByteArray& document) -> qint64 {
        const auto answer = VectorRenderHost::ask(pageSizeOf(document));
        return answer ? qint64(answer->pageSize.width()) : -1;
    };
    const QByteArray first = plainPdf + "% first\n";
    const qint64 drewFirst = whoAnswers(first);
    ASSERT_GT(drewFirst, 0);
    // As many others as may stay alive beside it: one more would end the first's process as the
    // idle one kept longest, and the first would rightly go to a new process.
    const int otherCount = std::max(1, VectorRenderHost::maxBusyProcesses() - 1);
    std::set<qint64> others;
    for (int i = 0; i < otherCount; ++i) {
        const qint64 drew = whoAnswers(plainPdf + "% another " + QByteArray::number(i) + "\n");
        ASSERT_GT(drew, 0);
        EXPECT_NE(drew, drewFirst) << "document " << i << " went to the first document's process";
        others.insert(drew);
    }
    EXPECT_EQ(others.size(), std::size_t(otherCount)) << "a process drew two documents";
    EXPECT_EQ(whoAnswers(first), drewFirst) << "the same document again goes to its own process";
}

// A program slow to start (a busy machine) is waited for within the start's own bound, well past
// a drawing's deadline.
TEST_F(MisbehavingProgramTest, AProgramSlowToGreetIsWaitedForWithinItsStartBound) {
    use(QStringLiteral("slow"));
    VectorRenderHost::Failure failure = VectorRenderHost::Failure::None;
    const auto answer = VectorRenderHost::ask(pageSizeOf(plainPdf), &failure);
    ASSERT_TRUE(answer.has_value()) << int(failure);
    EXPECT_EQ(answer->pageSize, QSizeF(60, 60));
}

TEST_F(MisbehavingProgramTest, AMissingProgramIsNoAnswerAndItIsLookedForOnlyBesideTheBinary) {
    VectorRenderHost::useProgram(QString());
    VectorRenderHost::Failure failure = VectorRenderHost::Failure::None;
    EXPECT_FALSE(VectorRenderHost::ask(pageSizeOf(plainPdf), &failure));
    EXPECT_EQ(failure, VectorRenderHost::Failure::NoProgram);
    EXPECT_TRUE(avatar(plainSvg).isNull());

    // Installed, libexec/velmora beside bin; in the build tree, beside the binary; nowhere else.
    QTemporaryDir root;
    const QString bin = root.filePath(QStringLiteral("bin"));
    ASSERT_TRUE(QDir().mkpath(bin));
    QStringList lookedAt;
    EXPECT_TRUE(VectorRenderHost::findProgram(bin, &lookedAt).isEmpty());
    const QString installed = root.filePath(QStringLiteral("libexec/velmora/velmora-vector-render"));
    const QString beside = root.filePath(QStringLiteral("bin/velmora-vector-render"));
    EXPECT_EQ(lookedAt, QStringList({installed, beside}));
    ASSERT_TRUE(QDir().mkpath(root.filePath(QStringLiteral("libexec/velmora"))));
    ASSERT_TRUE(QFile::copy(m_other, beside));
    EXPECT_EQ(VectorRenderHost::findProgram(bin), beside);
    ASSERT_TRUE(QFile::copy(m_other, installed));
    EXPECT_EQ(VectorRenderHost::findProgram(bin), installed);
    // A file that cannot be run is not the program.
    ASSERT_TRUE(QFile::setPermissions(installed, QFile::ReadOwner | QFile::WriteOwner));
    EXPECT_EQ(VectorRenderHost::findProgram(bin), beside);
}

TEST_F(MisbehavingProgramTest, AProgramOfAnotherVersionIsRefusedAtItsGreetingStartedOnceAndLoggedOnce) {
    // One from before versions greets with the old magic alone; a newer one with its version.
    // Neither is waited for until the deadline, neither is asked anything, and neither is started
    // again: what it said is said once.
    for (const char* mode : {"older", "newer"}) {
        WarningCapture warnings;
        use(QString::fromLatin1(mode));
        const int templatesBefore = VectorRenderHost::templatesForTesting().first;
        (void)VectorRenderHost::takeCountsForTesting();
        for (int i = 0; i < 3; ++i) {
            VectorRenderHost::Failure failure = VectorRenderHost::Failure::None;
            QElapsedTimer timer;
            timer.start();
            EXPECT_FALSE(VectorRenderHost::ask(pageSizeOf(plainPdf), &failure)) << mode;
            EXPECT_LT(timer.elapsed(), scaled(VectorRenderProtocol::answerDeadlineMs)) << mode;
            EXPECT_EQ(failure, VectorRenderHost::Failure::ProgramRefused) << mode;
        }
        EXPECT_EQ(warnings.count(QStringLiteral("of another version")), 1) << mode;
        const auto counts = VectorRenderHost::takeCountsForTesting();
        EXPECT_EQ(counts.sent, 0) << mode;
        EXPECT_EQ(counts.programs, 1) << mode;
        // Refused at its greeting, so never counted as a template started; and started no more.
        EXPECT_EQ(VectorRenderHost::templatesForTesting().first, templatesBefore) << mode;
        EXPECT_TRUE(drawingProcesses().isEmpty()) << mode;
    }
}

TEST_F(MisbehavingProgramTest, AProcessNotConfinedAsAWholeIsSentNothingAndItsProgramIsStartedOnce) {
    WarningCapture warnings;
    use(QStringLiteral("unconfined"));
    (void)VectorRenderHost::takeCountsForTesting();
    const int templatesBefore = VectorRenderHost::templatesForTesting().first;
    for (int i = 0; i < 4; ++i) {
        VectorRenderHost::Failure failure = VectorRenderHost::Failure::None;
        QElapsedTimer timer;
        timer.start();
        EXPECT_FALSE(VectorRenderHost::ask(pageSizeOf(plainPdf), &failure));
        EXPECT_LT(timer.elapsed(), scaled(VectorRenderProtocol::answerDeadlineMs));
        EXPECT_EQ(failure, VectorRenderHost::Failure::ProgramRefused) << "ask " << i;
    }
    // One start of the program, one drawing process, for four avatars; and why, once.
    EXPECT_EQ(VectorRenderHost::templatesForTesting().first - templatesBefore, 1);
    const auto counts = VectorRenderHost::takeCountsForTesting();
    EXPECT_EQ(counts.programs, 1);
    EXPECT_EQ(counts.refused, 1);
    EXPECT_EQ(counts.started, 0);
    EXPECT_EQ(
        warnings.count(QStringLiteral("the vector drawing process cannot be confined, since the kernel has "
                                      "no system-call filter")),
        1);

    // A kernel without Landlock whose namespaces close the file system: drawn, and said once.
    use(QStringLiteral("namespaced"));
    for (int i = 0; i < 2; ++i) {
        const auto answer = VectorRenderHost::ask(pageSizeOf(plainPdf + QByteArray::number(i)));
        ASSERT_TRUE(answer.has_value());
        EXPECT_EQ(answer->pageSize, QSizeF(60, 60));
    }
    EXPECT_EQ(
        warnings.count(QStringLiteral("close their file system with namespaces, since the kernel has no "
                                      "Landlock")),
        1);
}

TEST_F(MisbehavingProgramTest, AProgramThatCannotStartIsLoggedOnceWithItsStatus) {
    use(QStringLiteral("cannot-start"));
    DrawingLog log;
    for (int i = 0; i < 3; ++i) {
        VectorRenderHost::Failure failure = VectorRenderHost::Failure::None;
        EXPECT_FALSE(VectorRenderHost::ask(pageSizeOf(plainPdf), &failure));
        EXPECT_EQ(failure, VectorRenderHost::Failure::NoGreeting);
    }
    const QStringList said = log.lines().filter(QStringLiteral("cannot-start"));
    ASSERT_EQ(said.size(), 1) << said.join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(said.first().contains(QStringLiteral("127"))) << said.first().toStdString();
}

// The half that runs in a child process, a copy of this test binary with the drawing program
// beside it: the copy deletes itself and the program, as an upgrade does, then draws.
TEST(VectorDrawingProcessTest, childDrawsAfterItsBinaryIsDeleted) {
    const QString binary = qEnvironmentVariable(deletedBinaryChildVariable);
    if (binary.isEmpty()) {
        GTEST_SKIP() << "started by AvatarsAreDrawnAfterTheBinaryIsDeleted";
    }
    const QString program =
        QFileInfo(binary).absoluteDir().filePath(QFileInfo(VectorRenderHost::programPath()).fileName());
    ASSERT_TRUE(QFile::remove(binary));
    ASSERT_TRUE(QFile::remove(program));
    ASSERT_FALSE(QFileInfo::exists(binary));
    EXPECT_TRUE(isRedAvatar(avatar(plainSvg)));
    EXPECT_TRUE(isRedAvatar(avatar(plainPdf)));
}

TEST(VectorDrawingProcessTest, AvatarsAreDrawnAfterTheBinaryIsDeleted) {
    if (qEnvironmentVariableIsSet(deletedBinaryChildVariable)) {
        GTEST_SKIP();
    }
    QTemporaryDir directory;
    const QString copy = directory.filePath(QFileInfo(QCoreApplication::applicationFilePath()).fileName());
    ASSERT_TRUE(QFile::copy(QCoreApplication::applicationFilePath(), copy));
    ASSERT_TRUE(QFile::link(QFileInfo(VectorRenderHost::programPath()).canonicalFilePath(),
                            directory.filePath(QFileInfo(VectorRenderHost::programPath()).fileName())));
    QProcess child;
    auto environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(deletedBinaryChildVariable), copy);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(
        copy, {QStringLiteral("--gtest_filter=VectorDrawingProcessTest.childDrawsAfterItsBinaryIsDeleted")});
    ASSERT_TRUE(child.waitForFinished(scaled(60000)));
    const QString output = QString::fromUtf8(child.readAll());
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains(QStringLiteral("[  PASSED  ] 1 test"))) << output.toStdString();
}

TEST_F(MisbehavingProgramTest, TheIdleProcessUsedLastIsTakenFirstSoTheOthersAgeOut) {
    use(QStringLiteral("who"));
    VectorRenderHost::setIdleExitMsForTesting(10 * 60 * 1000);
    const auto idleTimeBack = qScopeGuard([] { VectorRenderHost::setIdleExitMsForTesting(0); });
    // The process that answered a request: the "who" program answers with its id.
    const auto whoAnswers = [](int afterMs) -> qint64 {
        VectorRenderProtocol::Request request = pageSizeOf(plainPdf);
        request.page = afterMs;
        const auto answer = VectorRenderHost::ask(request);
        return answer ? qint64(answer->pageSize.width()) : -1;
    };
    // Two processes at once: one answers a second later, the other, started beside it, at once.
    std::atomic<qint64> slow{0};
    std::thread slowRequest([&] { slow = whoAnswers(1000); });
    const auto joined = qScopeGuard([&] {
        if (slowRequest.joinable()) {
            slowRequest.join();
        }
    });
    QElapsedTimer waited;
    waited.start();
    while (drawingProcesses().isEmpty() && waited.elapsed() < scaled(10000)) {
        QThread::msleep(5);
    }
    const qint64 quick = whoAnswers(0);
    const bool quickFirst = slow.load() == 0;
    slowRequest.join();
    ASSERT_GT(quick, 0);
    ASSERT_GT(slow.load(), 0);
    ASSERT_NE(quick, slow.load()) << "one process answered both";
    // Both are idle now; the one given back last is taken, again and again.
    const qint64 last = quickFirst ? slow.load() : quick;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(whoAnswers(0), last)
            << "request " << i << (quickFirst ? "" : " (the slow one ended first)");
    }
}

namespace {

QByteArray svgWithText(int variant) {
    return svgOf(
        "<rect width=\"60\" height=\"60\" fill=\"#ff0000\"/><text x=\"2\" y=\"44\" font-size=\"30\">W" +
        QByteArray::number(variant) + "</text>");
}

} // namespace

// The real drawing program on a kernel without a part of its confinement, stood in for by a filter
// loaded before the program starts (the wrapper beside the tests, started under the part's name).
class StoodInKernelTest : public OtherProgramTest {
protected:
    StoodInKernelTest() : OtherProgramTest("velmora_kernel_stand_in") {}
};

TEST_F(StoodInKernelTest, WithoutLandlockNamespacesCloseTheProcessesOrNoDocumentIsSent) {
    const bool namespaces = userNamespacesWork();
    // A file of the test's that a drawing process must not reach.
    QTemporaryDir mine;
    const QString secret = mine.filePath(QStringLiteral("secret.txt"));
    ASSERT_TRUE(QFile(secret).open(QIODevice::WriteOnly));
    int variant = 0;
    for (const char* kernel : {"landlock-ENOSYS", "landlock-EOPNOTSUPP", "landlock-EPERM"}) {
        SCOPED_TRACE(kernel);
        WarningCapture warnings;
        use(QString::fromLatin1(kernel));
        (void)VectorRenderHost::takeCountsForTesting();
        for (int i = 0; i < 2; ++i) {
            const bool svgDrawn = isRedAvatar(avatar(svgWithText(++variant)));
            const bool pdfDrawn = isRedAvatar(avatar(plainPdf + "% " + QByteArray::number(variant) + "\n"));
            EXPECT_EQ(svgDrawn, namespaces);
            EXPECT_EQ(pdfDrawn, namespaces);
        }
        if (!namespaces) {
            // Sent nothing; started once; said once why.
            EXPECT_EQ(VectorRenderHost::takeCountsForTesting().sent, 0);
            EXPECT_EQ(warnings.count(QStringLiteral("cannot be confined")), 1);
            continue;
        }
        EXPECT_EQ(warnings.count(QStringLiteral("close their file system with namespaces")), 1);
        // Each process's root holds what drawing reads and nothing of the test's: neither its file
        // nor its /proc entry (with its memory).
        const QString ownNamespace = QFile::symLinkTarget(QStringLiteral("/proc/self/ns/mnt"));
        const QString program = QFileInfo(m_real).canonicalFilePath();
        std::set<qint64> processes;
        for (const qint64 pid : childProcesses()) {
            if (QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).canonicalFilePath() == program) {
                processes.insert(pid);
            }
        }
        ASSERT_FALSE(processes.empty());
        ASSERT_TRUE(allDoneConfining(QList<qint64>(processes.begin(), processes.end())));
        for (const qint64 pid : processes) {
            const QString root = QStringLiteral("/proc/%1/root").arg(pid);
            if (!QFileInfo::exists(root + QStringLiteral("/usr"))) {
                continue; // ended meanwhile
            }
            EXPECT_NE(QFile::symLinkTarget(QStringLiteral("/proc/%1/ns/mnt").arg(pid)), ownNamespace);
            EXPECT_FALSE(QFileInfo::exists(root + secret)) << "process " << pid;
            EXPECT_FALSE(QFileInfo::exists(root + QStringLiteral("/proc/%1/mem").arg(::getpid())))
                << "process " << pid;
            EXPECT_FALSE(QFileInfo::exists(root + QStringLiteral("/etc/passwd"))) << "process " << pid;
        }
    }
}

TEST_F(StoodInKernelTest, NotConfinedAsAWholeNothingIsSentAndTheProgramStartsOncePerRun) {
    // Without the filter, without both file-system means (a sandbox refusing them), or with the
    // filter refused by a sandbox: four avatars keep their placeholder, one program start and one
    // drawing process are all it costs, and why is said once, in words a user can act on.
    int variant = 0;
    for (const char* kernel : {"seccomp-missing", "landlock-ENOSYS+seccomp-missing", "seccomp-EPERM",
                               "seccomp-EINVAL", "landlock-EPERM+userns-EPERM"}) {
        SCOPED_TRACE(kernel);
        WarningCapture warnings;
        use(QString::fromLatin1(kernel));
        (void)VectorRenderHost::takeCountsForTesting();
        const int templatesBefore = VectorRenderHost::templatesForTesting().first;
        for (int i = 0; i < 4; ++i) {
            EXPECT_TRUE(avatar(svgWithText(++variant)).isNull());
        }
        const auto counts = VectorRenderHost::takeCountsForTesting();
        EXPECT_EQ(counts.sent, 0) << "a document was sent";
        EXPECT_EQ(counts.programs, 1);
        EXPECT_EQ(counts.refused, 1);
        EXPECT_EQ(counts.started, 0);
        EXPECT_EQ(VectorRenderHost::templatesForTesting().first - templatesBefore, 1);
        EXPECT_EQ(warnings.count(
                      QStringLiteral("PDF and SVG images are not drawn: the vector drawing process cannot "
                                     "be confined, since ")),
                  1);
        const QString why =
            QByteArray(kernel).contains("seccomp-missing")
                ? QStringLiteral("the kernel has no system-call filter")
            : QByteArray(kernel).contains("seccomp-EPERM")
                ? QStringLiteral("a sandbox around the app refused the system-call filter")
            : QByteArray(kernel).contains("seccomp-EINVAL")
                ? QStringLiteral("the kernel refused the system-call filter (seccomp answered: ") +
                      QString::fromLocal8Bit(std::strerror(EINVAL))
                : QStringLiteral("a sandbox around the app refused Landlock, and user namespaces are "
                                 "not allowed");
        EXPECT_EQ(warnings.count(why), 1) << why.toStdString();
        // Nothing of it left: not the processes its templates made ready, which would stay this
        // app's children, ended and never waited for.
        std::set<qint64> ended = childProcesses(true);
        for (const qint64 pid : childProcesses()) {
            ended.erase(pid);
        }
        EXPECT_TRUE(ended.empty()) << ended.size() << " ended processes never waited for";
        EXPECT_TRUE(templateProcesses().empty()) << "a template of the refused program is kept";
    }
}

// A kernel (or a sandbox) that refuses a filter for every thread of a process at once draws all
// the same: each thread of a drawing process takes the filter for itself.
TEST_F(StoodInKernelTest, AKernelThatRefusesAFilterForEveryThreadDrawsAllTheSame) {
    WarningCapture warnings;
    use(QStringLiteral("seccomp-TSYNC-EINVAL"));
    EXPECT_TRUE(isRedAvatar(avatar(svgWithText(1000))));
    EXPECT_TRUE(isRedAvatar(avatar(plainPdf + "% every thread\n")));
    EXPECT_EQ(warnings.count(QStringLiteral("cannot be confined")), 0);
}

namespace {

const char* greedyChildVariable = "VELMORA_GREEDY_COPIES_CHILD";

// The threads of a process now; 0 once it is gone.
int threadsOf(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) {
        return 0;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("Threads:")) {
            return line.mid(8).trimmed().toInt();
        }
    }
    return 0;
}

// The threads and processes the real user `uid` runs now, all of them counted as the kernel counts
// them against the user's process limit.
int tasksOfUser(uid_t uid) {
    int count = 0;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile status(QStringLiteral("/proc/%1/status").arg(entry));
        if (!status.open(QIODevice::ReadOnly)) {
            continue;
        }
        bool ofUser = false;
        int threads = 0;
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("Uid:")) {
                ofUser = line.mid(4).simplified().split(' ').value(0).toUInt() == uid;
            } else if (line.startsWith("Threads:")) {
                threads = line.mid(8).trimmed().toInt();
            }
        }
        count += ofUser ? threads : 0;
    }
    return count;
}

// Whether a program of this process's user still starts.
bool anotherProgramStarts() {
    pid_t child = -1;
    char program[] = "/bin/true";
    char* arguments[] = {program, nullptr};
    if (::posix_spawn(&child, program, nullptr, nullptr, arguments, environ) != 0) {
        return false;
    }
    int status = 0;
    return ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

// The real drawing program, built with the moves of a renderer taken over (see
// hostile-drawing/HostileMoves.h), under the move's name.
class HostileDrawingTest : public OtherProgramTest {
protected:
    HostileDrawingTest() : OtherProgramTest("velmora_hostile_drawing_program") {}
};

// The half that runs in a child: as a user with a process limit (root's processes have none, so a
// child of root's becomes a user of its own first), every copy takes all the threads it can for
// two seconds once it has drawn its avatar, correctly; the child samples their threads meanwhile.
TEST(VectorDrawingProcessTest, childFeedsGreedyCopies) {
    if (!qEnvironmentVariableIsSet(greedyChildVariable)) {
        GTEST_SKIP() << "started by AGreedyCopyTakesNoMoreThanItsThreads";
    }
    QString program =
        QCoreApplication::applicationDirPath() + QStringLiteral("/velmora_hostile_drawing_program");
    // The build tree may lie under a folder only its owner enters (a clone made in `mktemp -d`): the
    // other user runs a copy of the program from a folder of its own.
    std::optional<QTemporaryDir> ownFolder;
    if (::getuid() == 0) {
        const uid_t nobody = 65534;
        ownFolder.emplace();
        ASSERT_TRUE(ownFolder->isValid());
        const QString copy = ownFolder->filePath(QStringLiteral("velmora_hostile_drawing_program"));
        ASSERT_TRUE(QFile::copy(program, copy));
        for (const QString& path : {ownFolder->path(), copy}) {
            ASSERT_EQ(::chown(QFile::encodeName(path).constData(), nobody, nobody), 0);
            ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0755), 0);
        }
        program = copy;
        if (::setresgid(nobody, nobody, nobody) != 0 || ::setresuid(nobody, nobody, nobody) != 0) {
            // (A container may run its root without the right to become another user.)
            GTEST_SKIP() << "root, and no other user to become: root's processes have no limit";
        }
        // As a user's own process: the sanitisers' leak checker traces it at its end.
        ::prctl(PR_SET_DUMPABLE, 1);
        if (::access(QFile::encodeName(program).constData(), X_OK) != 0) {
            GTEST_SKIP() << "no other user to become who may run the program from the temporary folder";
        }
    }
    // Room for what this process and its drawing processes need, no more: a hundred threads
    // and processes beyond what the user runs now.
    const rlim_t processes = rlim_t(tasksOfUser(::getuid()) + 100);
    const rlimit limit{processes, processes};
    ASSERT_EQ(::setrlimit(RLIMIT_NPROC, &limit), 0);
    QTemporaryDir links;
    const QString greedy = links.filePath(QStringLiteral("threads"));
    ASSERT_TRUE(QFile::link(program, greedy));
    VectorRenderHost::useProgram(greedy);

    std::atomic<bool> sampling{true};
    std::atomic<int> mostThreads{0};
    std::thread sampler([&] {
        while (sampling.load()) {
            for (const qint64 pid : childProcesses()) {
                mostThreads = std::max(mostThreads.load(), threadsOf(pid));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    const auto stopSampling = qScopeGuard([&] {
        sampling = false;
        sampler.join();
    });
    // Each avatar answered within its bound, each by a new copy that then grabs threads.
    for (int i = 0; i < 5; ++i) {
        qint64 elapsed = 0;
        const auto drawn = within<bool>(
            scaled(answeredWithinMs),
            [i] {
                return isRedAvatar(avatar(svgOf("<rect width=\"60\" height=\"60\" fill=\"#ff0000\"/><!-- " +
                                                QByteArray::number(i) + " -->")));
            },
            &elapsed);
        ASSERT_TRUE(drawn.has_value()) << "avatar " << i << " still drawing after " << elapsed << " ms";
        EXPECT_TRUE(*drawn) << "avatar " << i << " not drawn";
        // Another program of the user's still starts.
        EXPECT_TRUE(anotherProgramStarts()) << "after avatar " << i;
    }
    // Past the copies' greedy seconds.
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 2500) {
        QThread::msleep(20);
    }
    EXPECT_TRUE(anotherProgramStarts()) << "at the end";
    EXPECT_LE(mostThreads.load(), DrawingConfinement::drawingThreads) << "a copy held that many threads";
    std::printf("most threads of a copy: %d\n", mostThreads.load());
    std::printf("greedy copies done\n");
    std::fflush(stdout);
}

// One hostile avatar stopped every thread and process of its user: a copy that drew its avatar
// correctly, then started threads, took every slot the user's process limit had and kept each
// that came free; later avatars went unanswered and other programs of the user failed to fork.
TEST(VectorDrawingProcessTest, AGreedyCopyTakesNoMoreThanItsThreads) {
    if (qEnvironmentVariableIsSet(greedyChildVariable)) {
        GTEST_SKIP();
    }
    QProcess child;
    startTestInChild(child, greedyChildVariable,
                     QStringLiteral("VectorDrawingProcessTest.childFeedsGreedyCopies"));
    ASSERT_TRUE(child.waitForFinished(scaled(120000)));
    const QString output = QString::fromUtf8(child.readAll());
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    if (output.contains(QStringLiteral("no other user to become"))) {
        GTEST_SKIP() << "root, and no other user to become";
    }
    EXPECT_TRUE(output.contains(QStringLiteral("greedy copies done"))) << output.toStdString();
}

// A copy that burns its CPU once it has answered (rather than stop itself, as a drawing process
// does) is ended, and never asked again; the same document is drawn by a new copy.
TEST_F(HostileDrawingTest, ACopyThatRunsOnAfterItsAnswerIsEndedWithinItsCpuTimeAndNeverAskedAgain) {
    VectorRenderHost::setIdleExitMsForTesting(10 * 60 * 1000);
    const auto idleTimeBack = qScopeGuard([] { VectorRenderHost::setIdleExitMsForTesting(0); });
    use(QStringLiteral("spin"));
    const QByteArray document = svgOf("<rect width=\"60\" height=\"60\" fill=\"#ff0000\"/><!-- spin -->");
    (void)VectorRenderHost::takeCountsForTesting();
    ASSERT_TRUE(isRedAvatar(avatar(document)));
    // The copy kept (beside it, the one its template made ready, which has drawn nothing): the
    // one whose CPU time goes on.
    std::map<qint64, qint64> atAnswer;
    for (const qint64 pid : childProcesses()) {
        atAnswer[pid] = processCpuMsOf(pid_t(pid));
    }
    pid_t copy = -1;
    QElapsedTimer found;
    found.start();
    while (copy < 0 && found.elapsed() < scaled(10000)) {
        QThread::msleep(5);
        for (const auto& [pid, cpuMs] : atAnswer) {
            if (processCpuMsOf(pid_t(pid)) - cpuMs > 20) {
                copy = pid_t(pid);
            }
        }
    }
    ASSERT_GT(copy, 0) << "no copy ran on";
    // Until it is ended, or past two seconds of CPU time since its answer, whichever comes first,
    // however slowly a busy machine gives it time.
    qint64 since = 0;
    QElapsedTimer waited;
    waited.start();
    while (processState(copy) != 'Z' && processState(copy) != 0 && since < 2000 &&
           waited.elapsed() < scaled(60000)) {
        QThread::msleep(5);
        if (const qint64 cpuMs = processCpuMsOf(copy); cpuMs >= 0) {
            since = cpuMs - atAnswer[copy];
        }
    }
    if (const qint64 cpuMs = processCpuMsOf(copy); cpuMs >= 0) {
        since = cpuMs - atAnswer[copy];
    }
    std::printf("CPU time after its answer: %lld ms (at least), ended after %lld ms\n",
                static_cast<long long>(since), static_cast<long long>(waited.elapsed()));
    const char state = processState(copy);
    EXPECT_TRUE(state == 'Z' || state == 0) << "still running after " << since << " ms of CPU time";
    EXPECT_LT(since, 2000);
    // The same document again: a new copy draws it, the one kept is not asked.
    (void)VectorRenderHost::takeCountsForTesting();
    const auto again =
        within<bool>(scaled(answeredWithinMs), [document] { return isRedAvatar(avatar(document)); });
    ASSERT_TRUE(again.has_value()) << "asked the copy that ran on";
    EXPECT_TRUE(*again);
    EXPECT_EQ(VectorRenderHost::takeCountsForTesting().started, 1);
}

// A copy whose idle time runs on burns nothing it was not given: one that used no CPU time since
// its answer is kept and asked again, one that did is not, even before the kernel ends it.
TEST(VectorDrawingProcessTest, ACopyKeptIdleIsAskedAgainOnlyWhileItUsesNothing) {
    VectorRenderHost::setIdleExitMsForTesting(10 * 60 * 1000);
    const auto idleTimeBack = qScopeGuard([] { VectorRenderHost::setIdleExitMsForTesting(0); });
    const QByteArray document = svgOf("<rect width=\"60\" height=\"60\" fill=\"#ff0000\"/><!-- idle -->");
    (void)VectorRenderHost::takeCountsForTesting();
    ASSERT_TRUE(isRedAvatar(avatar(document)));
    ASSERT_TRUE(isRedAvatar(avatar(document)));
    EXPECT_EQ(VectorRenderHost::takeCountsForTesting().started, 1) << "the idle copy was not asked again";
}

// A template killed (or crashed) costs no avatar: it is found gone when asked and another is
// started in its place at once; one that dies again at once is started again no sooner than a few
// seconds later, never in a storm.
TEST(VectorDrawingProcessTest, AKilledTemplateIsReplacedBeforeTheNextAvatarWithoutAStorm) {
    VectorRenderHost::useProgram(VectorRenderHost::programPath());
    ASSERT_TRUE(isRedAvatar(avatar(svgOf("<rect width=\"60\" height=\"60\" fill=\"#ff0000\"/><!-- t0 -->"))));
    const auto killTemplates = [] {
        const std::set<qint64> templates = templateProcesses();
        for (const qint64 pid : templates) {
            ::kill(pid_t(pid), SIGKILL);
        }
        // Ended (not waited for yet): the next ask finds them gone.
        for (const qint64 pid : templates) {
            QElapsedTimer waited;
            waited.start();
            while (processState(pid_t(pid)) != 'Z' && processState(pid_t(pid)) != 0 &&
                   waited.elapsed() < scaled(10000)) {
                QThread::msleep(1);
            }
        }
        return !templates.empty();
    };
    ASSERT_TRUE(killTemplates());
    const int before = VectorRenderHost::templatesForTesting().first;
    EXPECT_TRUE(isRedAvatar(avatar(svgOf("<rect width=\"60\" height=\"60\" fill=\"#ff0000\"/><!-- t1 -->"))))
        << "the killed template cost the next avatar";
    EXPECT_EQ(VectorRenderHost::templatesForTesting().first - before, 1);

    // Killed again at once, and asked for avatar after avatar: one start in its place a few
    // seconds later, not one for each avatar.
    ASSERT_TRUE(killTemplates());
    const int again = VectorRenderHost::templatesForTesting().first;
    QElapsedTimer asking;
    asking.start();
    bool drawn = false;
    int asked = 0;
    while (!drawn && asking.elapsed() < scaled(30000)) {
        drawn = isRedAvatar(avatar(svgOf("<rect width=\"60\" height=\"60\" fill=\"#ff0000\"/><!-- t2 " +
                                         QByteArray::number(++asked) + " -->")));
        if (!drawn) {
            QThread::msleep(50);
        }
    }
    EXPECT_TRUE(drawn) << "never replaced";
    EXPECT_EQ(VectorRenderHost::templatesForTesting().first - again, 1) << asked << " avatars asked";
    EXPECT_GE(asking.elapsed(), VectorRenderHost::templateRestartSpacingMs / 2)
        << "started again at once, " << asked << " avatars asked";
}
