#include "images/coders/vector-render/VectorRenderHost.h"
#include "images/coders/ImageCoderHelper.h"
#include "images/coders/ImageCodersManager.h"
#include "images/coders/ImageIOCoder.h"
#include "images/coders/ImageSVGCoder.h"
#include "images/coders/vector-render/VectorRenderProtocol.h"
#include "images/coders/vector-render/VectorRenderStream.h"
#include "images/core/DecodeOptions.h"
#include "images/core/Teardown.h"
#include "tests/images/support/ChildProcesses.h"
#include "tests/images/support/DrawingProgram.h"
#include "tests/support/PdfDocuments.h"
#include "tests/support/TimeScale.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QScopeGuard>
#include <QThread>
#include <QtEndian>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

using namespace velmora::images;
using namespace velmora::images::testing;
using velmora::test::pdfOf;

namespace {

// Generous for a loaded machine under the sanitizers: what is waited for takes a fraction.
const int patienceMs = velmora::test::scaledMs(20000);

// A 60 x 60 point page drawing `contents`, with these form objects from number 5 on.
QByteArray pageOf(const QByteArray& contents, const QByteArray& resources = {},
                  const QList<QByteArray>& forms = {}) {
    const auto stream = [](const QByteArray& dictionary, const QByteArray& data) {
        return "<< " + dictionary + " /Length " + QByteArray::number(data.size()) + " >>\nstream\n" + data +
               "\nendstream";
    };
    QList<QByteArray> objects{"<< /Type /Catalog /Pages 2 0 R >>",
                              "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
                              "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 60 60] /Resources << " +
                                  resources + " >> /Contents 4 0 R >>",
                              stream("", contents)};
    for (const QByteArray& form : forms) {
        objects.append(
            stream("/Type /XObject /Subtype /Form /BBox [0 0 60 60] /Resources << /XObject << /F " +
                       QByteArray::number(objects.size() + 2) + " 0 R >> >>",
                   form));
    }
    return pdfOf(objects);
}

// A red stroke and a blue square; `variant` makes the bytes differ, as avatars of many people do.
QByteArray plainPage(int variant = 0) {
    return pageOf("1 0 0 RG 5 w 10 10 m 50 50 l S 0 0 1 rg 20 20 20 20 re f\n% " +
                  QByteArray::number(variant));
}

// Each form draws the next twice, sixty deep: two to the sixtieth drawings, cheap each, so the
// drawing stops only at a budget.
QByteArray endlessPage() {
    QList<QByteArray> forms;
    for (int level = 0; level < 60; ++level) {
        forms.append(level + 1 < 60 ? QByteArray("/F Do /F Do") : QByteArray("0 0 m 60 60 l S"));
    }
    return pageOf("/F Do", "/XObject << /F 5 0 R >>", forms);
}

Image avatar(const QByteArray& data) {
    DecodeOptions options;
    options.thumbnailPixelSize = QSizeF(60, 60);
    return ImageCodersManager::sharedManager()->decodedImageWithData(data, options);
}

// This process's children that have not ended (a zombie holds nothing).
std::set<qint64> drawingProcesses() {
    return childProcesses();
}

// The context switches of a thread so far.
qint64 wakeUps(qint64 pid, qint64 thread) {
    QFile status(QStringLiteral("/proc/%1/task/%2/status").arg(pid).arg(thread));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    qint64 switches = 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("voluntary_ctxt_switches:") || line.startsWith("nonvoluntary_ctxt_switches:")) {
            switches += line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
        }
    }
    return switches;
}

// The thread of this process that ends idle drawing processes; none while none is idle.
std::optional<qint64> idleExitThread() {
    for (const QString& task :
         QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile name(QStringLiteral("/proc/self/task/%1/comm").arg(task));
        if (name.open(QIODevice::ReadOnly) && name.readAll().trimmed() == "vector-idle") {
            return task.toLongLong();
        }
    }
    return std::nullopt;
}

template <typename Condition> bool eventually(Condition condition) {
    QElapsedTimer waited;
    waited.start();
    while (!condition()) {
        if (waited.elapsed() > patienceMs) {
            return false;
        }
        QThread::msleep(20);
    }
    return true;
}

// Runs `work` on `count` threads at once and waits for them all.
template <typename Work> void atOnce(int count, Work work) {
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i) {
        threads.emplace_back([&work, i] { work(i); });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}

// The idle time back to the app's when a test ends, however it ends.
struct IdleExit {
    explicit IdleExit(int milliseconds) { VectorRenderHost::setIdleExitMsForTesting(milliseconds); }
    ~IdleExit() { VectorRenderHost::setIdleExitMsForTesting(0); }
};

const char* quitChildVariable = "VELMORA_PDF_HOST_QUIT_CHILD";

} // namespace

TEST(VectorRenderHostTest, ABurstTakesAProcessPerDocumentNeverMoreThanTheSlotsAndWhatWaitsCostsNothing) {
    // None left from an earlier test of this process.
    IdleExit idle(1);
    ASSERT_TRUE(eventually([] { return drawingProcesses().empty() && templateProcesses().empty(); }));
    VectorRenderHost::setIdleExitMsForTesting(10 * 60 * 1000);
    (void)VectorRenderHost::takeCountsForTesting();
    std::atomic<int> drawn{0};
    atOnce(40, [&](int i) { drawn += avatar(plainPage(i)).isNull() ? 0 : 1; });
    EXPECT_EQ(drawn.load(), 40);
    const auto burst = VectorRenderHost::takeCountsForTesting();
    // A process for each document (a PDF avatar is one request), never more drawing or kept at
    // once than the slots; those kept wait for their own document only. Beside them, each
    // template holds one made ready, which has been given nothing.
    EXPECT_EQ(burst.started, 40);
    EXPECT_LE(burst.mostBusy, VectorRenderHost::maxBusyProcesses());
    EXPECT_LE(burst.alive, VectorRenderHost::maxBusyProcesses());
    // (A process that a machine this busy kept from stopping itself in its time is ended: kept
    // are those alive now. A copy in its first moments still bears its template's name.)
    std::set<qint64> templates;
    int alive = burst.alive;
    ASSERT_TRUE(eventually([&] {
        templates = templateProcesses();
        alive = VectorRenderHost::takeCountsForTesting().alive;
        return int(drawingProcesses().size()) == alive + int(templates.size());
    })) << drawingProcesses().size()
        << " drawing processes for " << alive << " kept and " << templates.size() << " templates";
    EXPECT_GE(templates.size(), 1u);
    EXPECT_LE(int(templates.size()), VectorRenderHost::maxBusyProcesses());
    const std::set<qint64> kept = drawingProcesses();

    // Neither a process kept waiting, nor a template, nor the timer of their end wakes, once each
    // has settled from the burst (two looks agree, apart by the time a process has to stop itself
    // once it answered, after which the timer looks at those it did not see stopped).
    const auto timer = idleExitThread();
    ASSERT_TRUE(timer.has_value());
    const auto allWakeUps = [&kept, &templates, &timer] {
        qint64 sum = wakeUps(::getpid(), *timer);
        for (const qint64 pid : kept) {
            sum += wakeUps(pid, pid);
        }
        for (const qint64 pid : templates) {
            sum += wakeUps(pid, pid);
        }
        return sum;
    };
    qint64 before = allWakeUps();
    ASSERT_TRUE(eventually([&] {
        QThread::msleep(VectorRenderHost::stopWithinMs + 50);
        return std::exchange(before, allWakeUps()) == before;
    }));
    QThread::msleep(velmora::test::scaledMs(500));
    EXPECT_EQ(allWakeUps(), before);

    // A new document goes to a new process, and the same again to that one.
    EXPECT_FALSE(avatar(plainPage(40)).isNull());
    EXPECT_EQ(VectorRenderHost::takeCountsForTesting().started, 1);
    EXPECT_FALSE(avatar(plainPage(40)).isNull());
    EXPECT_EQ(VectorRenderHost::takeCountsForTesting().started, 0);

    // Once idle for their time, none is left, templates included; the next avatar starts one and
    // is drawn.
    VectorRenderHost::setIdleExitMsForTesting(200);
    EXPECT_TRUE(eventually([] { return drawingProcesses().empty() && templateProcesses().empty(); }))
        << drawingProcesses().size() << " drawing processes and " << templateProcesses().size()
        << " templates left";
    EXPECT_EQ(VectorRenderHost::takeCountsForTesting().alive, 0);
    EXPECT_TRUE(eventually([] { return !idleExitThread(); })) << "the timer outlived the processes";
    VectorRenderHost::setIdleExitMsForTesting(10 * 60 * 1000);
    EXPECT_FALSE(avatar(plainPage(41)).isNull());
    const auto after = VectorRenderHost::takeCountsForTesting();
    EXPECT_EQ(after.started, 1);
    EXPECT_EQ(after.alive, 1);
}

TEST(VectorRenderHostTest, NoMoreDrawAtOnceThanTheSlotsAndEverySlotIsUsed) {
    IdleExit idle(10 * 60 * 1000);
    const int slotCount = VectorRenderHost::maxBusyProcesses();
    (void)VectorRenderHost::takeCountsForTesting();
    std::atomic<bool> drawing{true};
    std::size_t mostAlive = 0;
    std::thread watcher([&] {
        while (drawing.load()) {
            mostAlive = std::max(mostAlive, drawingProcesses().size());
            QThread::msleep(5);
        }
    });
    // Each holds its slot for its whole budget, a second or more: the ones beyond the slots wait.
    VectorRenderProtocol::Request request;
    request.document = endlessPage();
    request.pixels = QSize(60, 60);
    atOnce(slotCount + 3, [&](int) { (void)VectorRenderHost::ask(request); });
    drawing.store(false);
    watcher.join();
    // Each page ran out of its budget, so its process is not kept (it may have been stopped
    // anywhere): a new one starts for each, but never more drawing than the slots, and beside
    // them no more than one made ready for each template (as many as the slots at most).
    const auto counts = VectorRenderHost::takeCountsForTesting();
    EXPECT_EQ(counts.mostBusy, slotCount);
    EXPECT_EQ(counts.started, slotCount + 3);
    EXPECT_LE(int(mostAlive), 2 * slotCount);
}

TEST(VectorRenderHostTest, TheDrawingProgramStopsADrawingAtItsOwnBudget) {
    // The program alone, without the host's kill behind it: only its own budget ends the page.
    SpawnedDrawingProgram program(VectorRenderHost::programPath());
    ASSERT_TRUE(program.greeted(patienceMs));
    VectorRenderProtocol::Request endless;
    endless.document = endlessPage();
    endless.pixels = QSize(60, 60);
    const auto answer = program.ask(endless, 3 * patienceMs);
    ASSERT_TRUE(answer.has_value()) << "no answer";
    // Out of its CPU time, or, on a machine too busy to give it that, of its wall time.
    EXPECT_TRUE(answer->status == VectorRenderProtocol::Status::OverBudget ||
                answer->status == VectorRenderProtocol::Status::OutOfTime)
        << int(answer->status);
}

TEST(VectorRenderHostTest, ThePdfRendererStopsADrawingAtItsBudgetWithoutTheTimers) {
    // The program's timers set far beyond the budget: only the renderer's own check, between
    // drawing operators, can stop the page, and the process goes on to the next request.
    SpawnedDrawingProgram program(
        VectorRenderHost::programPath(),
        {QStringLiteral("--cpu-timer-ms=600000"), QStringLiteral("--wall-timer-ms=600000")});
    ASSERT_TRUE(program.greeted(patienceMs));
    VectorRenderProtocol::Request endless;
    endless.id = 1;
    endless.document = endlessPage();
    endless.pixels = QSize(60, 60);
    const auto answer = program.ask(endless, 3 * patienceMs);
    ASSERT_TRUE(answer.has_value()) << "no answer: the renderer did not stop the page";
    EXPECT_TRUE(answer->status == VectorRenderProtocol::Status::OverBudget ||
                answer->status == VectorRenderProtocol::Status::OutOfTime)
        << int(answer->status);
    VectorRenderProtocol::Request plain;
    plain.id = 2;
    plain.document = plainPage();
    plain.pixels = QSize(60, 60);
    const auto next = program.ask(plain, patienceMs);
    ASSERT_TRUE(next.has_value()) << "the process did not go on";
    EXPECT_EQ(next->status, VectorRenderProtocol::Status::Drawn);
}

TEST(VectorRenderHostTest, AFittedPageIsSizedAndDrawnInOneRequestAndOnlyItsFitIsTaken) {
    using Fit = VectorRenderProtocol::Fit;
    const auto fitOf = [](QSizeF box, bool keep, double scale = 1, quint64 byteLimit = 0) {
        Fit fit;
        fit.box = box;
        fit.keepAspectRatio = keep;
        fit.scale = scale;
        fit.byteLimit = byteLimit;
        return fit;
    };
    const auto fitted = [](QSizeF page, const Fit& fit) {
        const auto out = VectorRenderProtocol::fitted(page, fit);
        return out ? std::pair(out->size, out->pixels) : std::pair(QSizeF(), QSize());
    };
    // Into the box in proportion, stretched, with a free side, at a scale, and within the limit.
    EXPECT_EQ(fitted({120, 60}, fitOf({60, 60}, true)), std::pair(QSizeF(60, 30), QSize(60, 30)));
    EXPECT_EQ(fitted({120, 60}, fitOf({60, 60}, false)), std::pair(QSizeF(60, 60), QSize(60, 60)));
    EXPECT_EQ(fitted({120, 60}, fitOf({0, 30}, true)), std::pair(QSizeF(60, 30), QSize(60, 30)));
    EXPECT_EQ(fitted({120, 60}, fitOf({0, 30}, false)), std::pair(QSizeF(120, 30), QSize(120, 30)));
    EXPECT_EQ(fitted({120, 60}, fitOf({}, true, 2)), std::pair(QSizeF(120, 60), QSize(240, 120)));
    EXPECT_EQ(fitted({100, 100}, fitOf({}, true, 1, 40 * 40 * 4)).second, QSize(40, 40));
    const QSize huge = fitted({1e9, 1e9}, fitOf({}, true)).second;
    EXPECT_FALSE(huge.isEmpty());
    EXPECT_LE(quint64(huge.width()) * quint64(huge.height()) * 4,
              std::min(ImageCoderHelper::defaultScaleDownLimitBytes(), pixelBudget() * 4));
    EXPECT_FALSE(VectorRenderProtocol::fitted({60, 60}, fitOf({60, 60}, true, 0)));
    EXPECT_FALSE(VectorRenderProtocol::fitted({60, 60}, fitOf({qInf(), 60}, true)));

    // The fit goes over as it was given, and an answer of other pixels than the page's fit is none.
    VectorRenderProtocol::Request request;
    request.kind = VectorRenderProtocol::Kind::Svg;
    request.id = 7;
    request.fit = fitOf({60, 60}, true, 2, 1 << 20);
    const QByteArray header = VectorRenderProtocol::encodeRequestHeader(request);
    ASSERT_EQ(header.size(), VectorRenderProtocol::requestHeaderSize);
    quint32 length = 0;
    const auto decoded = VectorRenderProtocol::decodeRequestHeader(header.constData(), &length);
    ASSERT_TRUE(decoded && decoded->fit);
    EXPECT_EQ(decoded->fit->box, QSizeF(60, 60));
    EXPECT_TRUE(decoded->fit->keepAspectRatio);
    EXPECT_EQ(decoded->fit->scale, 2);
    EXPECT_EQ(decoded->fit->byteLimit, quint64(1) << 20);
    const auto answerOf = [&request](QSize pixels) {
        VectorRenderProtocol::Answer answer;
        answer.status = VectorRenderProtocol::Status::Drawn;
        answer.id = request.id;
        answer.pageSize = QSizeF(120, 60);
        answer.image = QImage(pixels, QImage::Format_ARGB32_Premultiplied);
        return VectorRenderProtocol::decodeAnswerHeader(
            VectorRenderProtocol::encodeAnswer(answer).constData(), request);
    };
    EXPECT_TRUE(answerOf(QSize(120, 60)));
    EXPECT_FALSE(answerOf(QSize(120, 120)));
    EXPECT_FALSE(answerOf(QSize(60, 30)));

    // The SVG avatar road asks once: its canvas and its pixels come back together.
    const QByteArray svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"120\" height=\"60\">"
                           "<rect width=\"120\" height=\"60\" fill=\"#ff0000\"/></svg>";
    (void)VectorRenderHost::takeCountsForTesting();
    const Image image = ImageSVGCoder::createBitmapSVG(svg, QSizeF(60, 60), true, 0);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.bitmap().size(), QSize(60, 30));
    EXPECT_EQ(VectorRenderHost::takeCountsForTesting().requests, 1);
}

// The half that runs in a child process: processes kept idle when the library's teardown (as at
// quitting) begins are ended by it, without waiting for their idle time.
TEST(VectorRenderHostTest, childQuitsWithIdleProcesses) {
    if (!qEnvironmentVariableIsSet(quitChildVariable)) {
        GTEST_SKIP() << "started by QuittingEndsTheIdleProcesses";
    }
    atOnce(2, [](int i) { ASSERT_FALSE(avatar(plainPage(i)).isNull()); });
    ASSERT_FALSE(drawingProcesses().empty());
    Teardown::run();
    EXPECT_TRUE(drawingProcesses().empty()) << drawingProcesses().size() << " left";
}

TEST(VectorRenderHostTest, QuittingEndsTheIdleProcesses) {
    if (qEnvironmentVariableIsSet(quitChildVariable)) {
        GTEST_SKIP();
    }
    QProcess child;
    startTestInChild(child, quitChildVariable,
                     QStringLiteral("VectorRenderHostTest.childQuitsWithIdleProcesses"));
    ASSERT_TRUE(child.waitForFinished(velmora::test::scaledMs(60000)));
    const QString output = QString::fromUtf8(child.readAll());
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains(QStringLiteral("[  PASSED  ] 1 test"))) << output.toStdString();
}
