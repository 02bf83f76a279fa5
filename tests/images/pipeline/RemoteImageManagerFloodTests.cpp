// A plain avatar among hostile documents: answered in time, never refused for the load it met,
// and read back from the disk cache as it was drawn.

#include "images/animation/AnimatedImage.h"
#include "images/cache/ImageCache.h"
#include "images/cache/ImageCacheConfig.h"
#include "images/coders/ImageIOCoder.h"
#include "images/coders/ImagePDFCoder.h"
#include "images/coders/ImageSVGCoder.h"
#include "images/coders/vector-render/VectorRenderHost.h"
#include "images/core/DecodeAttempt.h"
#include "images/core/ImageLibraryLog.h"
#include "images/download/DecodeLanes.h"
#include "images/download/RemoteImageDownloader.h"
#include "images/pipeline/RemoteImageManager.h"
#include "platform/async/Clock.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LoopbackImageServer.h"
#include "tests/support/PdfDocuments.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <vector>

using namespace velmora::images;
using velmora::test::deflated;
using velmora::test::ImageAnswer;
using velmora::test::LoopbackImageServer;
using velmora::test::pdfOf;
using velmora::test::streamOf;
using velmora::test::waitUntil;

namespace {

// The rule: a plain avatar is answered within two seconds, whatever is in flight; a busy machine
// and the sanitizers (which slow every decode several times over) stretch it by the run's time scale.
const qint64 plainWithinMs = velmora::test::scaledMs(2000);

// A page of 60 x 60 points drawn by the stream `contents`, then the objects given, from number 5 on.
QByteArray onePagePdf(const QByteArray& contents, const QList<QByteArray>& objects = {},
                      const QByteArray& resources = {}) {
    QList<QByteArray> all{"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
                          "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 60 60] /Resources << " + resources +
                              " >> /Contents 4 0 R >>",
                          contents};
    all.append(objects);
    return pdfOf(all);
}

// A blue square.
QByteArray plainPdf() {
    return onePagePdf(streamOf("", "0 0 1 rg 0 0 60 60 re f"));
}

// A form of a long zigzag, under a subtype name written with an escape, drawn twelve thousand
// times: the drawing runs until its budget stops it.
QByteArray costlyPdf(int index) {
    QByteArray zigzag = "0 0 m ";
    for (int i = 0; i < 1500; ++i) {
        zigzag += QByteArray::number(i % 60) + ' ' + QByteArray::number(i * 7 % 60) + " l ";
    }
    return onePagePdf(streamOf("/Filter /FlateDecode", deflated("% " + QByteArray::number(index) + "\n" +
                                                                QByteArray("/F1 Do ").repeated(12000))),
                      {streamOf("/Type /XObject /Subtype /F#6frm /BBox [0 0 60 60]", zigzag + "S\n")},
                      "/XObject << /F1 5 0 R >>");
}

QByteArray plainSvg() {
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"60\" height=\"60\">"
           "<rect width=\"60\" height=\"60\" fill=\"#00ff00\"/></svg>";
}

// One path of many crossing lines, filled and finely dashed, drawn thousands of times over:
// seconds of drawing each.
QByteArray costlySvg(int index) {
    QByteArray path = "<path id=\"p\" d=\"M0 " + QByteArray::number(index % 60);
    for (int j = 0; j < 400; ++j) {
        path += " L" + QByteArray::number((j * 37) % 60) + " " + QByteArray::number((j * 53) % 60);
    }
    path += "\" stroke=\"black\" stroke-width=\"0.3\" stroke-dasharray=\"0.05\" fill=\"red\" "
            "fill-rule=\"evenodd\"/>";
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\" "
           "width=\"60\" height=\"60\"><defs>" +
           path + "</defs>" + QByteArray("<use xlink:href=\"#p\"/>").repeated(4000) + "</svg>";
}

// Kills every drawing process of this test: each is a child of it running the drawing program.
void killDrawingProcesses() {
    const QString program = QFileInfo(VectorRenderHost::programPath()).fileName().left(15);
    for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly)) {
            continue;
        }
        const QByteArray line = stat.readAll();
        const qsizetype close = line.lastIndexOf(')');
        const qsizetype open = line.indexOf('(');
        if (open < 0 || close < open) {
            continue;
        }
        const QByteArray name = line.mid(open + 1, close - open - 1);
        const QList<QByteArray> fields = line.mid(close + 2).split(' ');
        if (fields.size() > 1 && fields.at(1).toLongLong() == ::getpid() &&
            QString::fromLatin1(name) == program) {
            ::kill(pid.toInt(), SIGKILL);
        }
    }
}

struct Answer {
    Image image;
    ImageError error;
    ImageCacheType cacheType = ImageCacheType::None;
    qint64 afterMs = -1;
};

class Avatars : public ::testing::Test {
protected:
    LoopbackImageServer server;
    QTemporaryDir root;
    std::shared_ptr<RemoteImageManager> manager = managerOver(root.path());
    std::vector<std::shared_ptr<RemoteImageCombinedOperation>> loads;
    std::mutex mutex;
    QElapsedTimer clock;

    Avatars() { clock.start(); }
    ~Avatars() override {
        // What is still drawing is of no more use: cancelled, it leaves the lanes to the next test.
        for (const auto& load : loads) {
            load->cancel();
        }
    }

    static std::shared_ptr<RemoteImageManager> managerOver(const QString& folder,
                                                           std::shared_ptr<velmora::Clock> clock = nullptr) {
        auto config = std::make_shared<ImageCacheConfig>();
        if (clock) {
            config->setClock(std::move(clock));
        }
        auto cache = std::make_shared<ImageCache>(QStringLiteral("avatars"), folder, config);
        // The app's downloader as the app has it.
        return std::make_shared<RemoteImageManager>(
            cache,
            std::make_shared<RemoteImageDownloader>(RemoteImageDownloader::sharedDownloader()->config()));
    }

    // As the task row asks for an avatar: kept at the size it is drawn, animated when it moves.
    static RemoteImageContext avatarContext() {
        RemoteImageContext context;
        context.imageThumbnailPixelSize = QSizeF(32, 32);
        context.imageScaleFactor = 1.0;
        context.animatedImageClass = AnimatedImage::animatedImageClass();
        return context;
    }

    // Asks for the avatar at `path`; its answer lands in the returned slot.
    std::shared_ptr<Answer> ask(const QByteArray& path, RemoteImageOptions options = 0,
                                const std::shared_ptr<RemoteImageManager>& through = nullptr,
                                const std::optional<RemoteImageContext>& context = std::nullopt) {
        auto answer = std::make_shared<Answer>();
        const qint64 askedAt = clock.elapsed();
        loads.push_back((through ? through : manager)
                            ->loadImage(server.url(QString::fromLatin1(path)), options,
                                        context ? *context : avatarContext(), nullptr,
                                        [this, answer, askedAt](
                                            const Image& image, const QByteArray&, const ImageError& error,
                                            ImageCacheType cacheType, bool finished, const QUrl&) {
                                            if (!finished) {
                                                return;
                                            }
                                            std::lock_guard lock(mutex);
                                            answer->image = image;
                                            answer->error = error;
                                            answer->cacheType = cacheType;
                                            answer->afterMs = clock.elapsed() - askedAt;
                                        }));
        return answer;
    }

    bool answered(const std::shared_ptr<Answer>& answer, int timeoutMs = 60000) {
        return waitUntil(
            [&] {
                std::lock_guard lock(mutex);
                return answer->afterMs >= 0;
            },
            timeoutMs);
    }

    void servePlainOnes() {
        server.serve("/plain.png", ImageAnswer::image(LoopbackImageServer::png(40, 40, Qt::red)));
        server.serve("/plain.svg", ImageAnswer::image(plainSvg(), "image/svg+xml"));
        server.serve("/plain.pdf", ImageAnswer::image(plainPdf(), "application/pdf"));
    }

    // The flood is in flight; then a plain PNG, SVG and PDF are asked, and each is drawn in time.
    void expectPlainOnesAnsweredInTime(const char* flood) {
        // In flight: drawing processes are drawing it.
        ASSERT_TRUE(waitUntil([] { return VectorRenderHost::takeCountsForTesting().mostBusy > 0; }, 60000))
            << flood << " never reached a drawing process";
        std::vector<std::pair<const char*, std::shared_ptr<Answer>>> plain{
            {"png", ask("/plain.png")}, {"svg", ask("/plain.svg")}, {"pdf", ask("/plain.pdf")}};
        for (const auto& [kind, answer] : plain) {
            ASSERT_TRUE(answered(answer)) << kind;
            std::lock_guard lock(mutex);
            std::printf("%s: plain %s answered after %lld ms\n", flood, kind,
                        static_cast<long long>(answer->afterMs));
            EXPECT_TRUE(answer->image) << kind << ": " << answer->error.message().toStdString();
            EXPECT_LE(answer->afterMs, plainWithinMs) << kind;
        }
    }
};

} // namespace

TEST_F(Avatars, FortyCostlyPdfsHoldNoPlainAvatarBack) {
    servePlainOnes();
    for (int i = 0; i < 40; ++i) {
        const QByteArray path = "/costly-" + QByteArray::number(i) + ".pdf";
        server.serve(path, ImageAnswer::image(costlyPdf(i), "application/pdf"));
        ask(path);
    }
    expectPlainOnesAnsweredInTime("40 costly PDFs");
}

TEST_F(Avatars, SixCostlySvgsHoldNoPlainAvatarBack) {
    servePlainOnes();
    std::vector<std::shared_ptr<Answer>> costly;
    for (int i = 0; i < 6; ++i) {
        const QByteArray path = "/costly-" + QByteArray::number(i) + ".svg";
        server.serve(path, ImageAnswer::image(costlySvg(i), "image/svg+xml"));
        costly.push_back(ask(path));
    }
    expectPlainOnesAnsweredInTime("6 costly SVGs");
    // A drawing in this process cannot be cut short: the test ends after them, not while they run.
    for (const auto& answer : costly) {
        EXPECT_TRUE(answered(answer, 110000));
    }
}

TEST_F(Avatars, ADocumentOverItsBudgetIsRefusedAndOneWhoseDrawingWasKilledIsNot) {
    auto cacheClock = std::make_shared<velmora::ManualClock>(QDateTime::currentDateTime());
    manager = managerOver(root.path(), cacheClock);
    // Refused exactly when its drawing ran out of the document's budget. On a busy machine the
    // drawing process may not get the time to say so and is killed at its deadline instead, which
    // says nothing about the document (the downloader's tests hold both answers without a process).
    for (int round = 0; round < 3; ++round) {
        const QByteArray path = "/over-" + QByteArray::number(round) + ".pdf";
        server.serve(path, ImageAnswer::image(costlyPdf(round), "application/pdf"));
        const auto over = ask(path);
        ASSERT_TRUE(answered(over));
        EXPECT_FALSE(over->image);
        EXPECT_TRUE(over->error.is(ImageErrorCode::BadImageData));
        const bool refused = manager->isFailedURL(server.url(QString::fromLatin1(path)));
        EXPECT_EQ(refused, over->error.message().contains(QStringLiteral("budget")))
            << over->error.message().toStdString();
        if (refused) {
            break;
        }
    }

    // Every drawing process is killed while the document is drawn, as a crash would end it.
    server.serve("/killed.pdf", ImageAnswer::image(costlyPdf(1), "application/pdf"));
    const auto killed = ask("/killed.pdf");
    while (!answered(killed, 20)) {
        killDrawingProcesses();
    }
    EXPECT_FALSE(killed->image);
    EXPECT_FALSE(killed->error.isNull());
    EXPECT_FALSE(manager->isFailedURL(server.url(QStringLiteral("/killed.pdf"))))
        << killed->error.message().toStdString();

    // Asked again once the delay of an ended drawing is over, it is drawn again, not refused.
    cacheClock->advance(qint64(24) * 3600 * 1000);
    (void)VectorRenderHost::takeCountsForTesting();
    const auto again = ask("/killed.pdf");
    ASSERT_TRUE(answered(again));
    EXPECT_FALSE(again->error.is(ImageErrorCode::BlockedURL));
    EXPECT_GE(VectorRenderHost::takeCountsForTesting().sent, 1);
}

// Two cores, as on a small machine: two drawing processes at once, and the lanes sized for them.
TEST_F(Avatars, OnTwoCoresEveryPlainPdfIsDrawnAmongTwentyCostlyOnesAndDrawnAgain) {
    cpu_set_t two;
    CPU_ZERO(&two);
    int taken = 0;
    cpu_set_t all;
    ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
    for (int cpu = 0; cpu < CPU_SETSIZE && taken < 2; ++cpu) {
        if (CPU_ISSET(cpu, &all)) {
            CPU_SET(cpu, &two);
            ++taken;
        }
    }
    ASSERT_EQ(sched_setaffinity(0, sizeof two, &two), 0);
    // The tests after this one in the same process get the whole machine back.
    const auto restore = qScopeGuard([all] { sched_setaffinity(0, sizeof all, &all); });
    if (VectorRenderHost::maxBusyProcesses() != 2) {
        GTEST_SKIP() << "the drawing slots were counted before this test (run it in a process of its own)";
    }
    for (int i = 0; i < 20; ++i) {
        const QByteArray path = "/costly-" + QByteArray::number(i) + ".pdf";
        server.serve(path, ImageAnswer::image(costlyPdf(i), "application/pdf"));
        ask(path);
    }
    std::vector<QByteArray> plain;
    for (int i = 0; i < 6; ++i) {
        plain.push_back("/plain-" + QByteArray::number(i) + ".pdf");
        server.serve(plain.back(), ImageAnswer::image(plainPdf(), "application/pdf"));
    }
    int round = 0;
    for (const RemoteImageOptions options :
         {RemoteImageOptions(0), RemoteImageOptions(RemoteImageFromLoaderOnly)}) {
        ++round;
        std::vector<std::shared_ptr<Answer>> answers;
        for (const auto& path : plain) {
            answers.push_back(ask(path, options));
            // One after the other: each asked once the one before it has reached the server.
            waitUntil([&] { return server.requestCount(path) >= round; }, 60000);
        }
        for (size_t i = 0; i < answers.size(); ++i) {
            // Drawn is the rule here, however long the two cores take (the floods above hold the time).
            ASSERT_TRUE(answered(answers[i], 100000));
            std::lock_guard lock(mutex);
            EXPECT_TRUE(answers[i]->image)
                << plain[i].constData() << ": " << answers[i]->error.message().toStdString();
            std::printf("two cores: %s answered after %lld ms\n", plain[i].constData(),
                        static_cast<long long>(answers[i]->afterMs));
        }
    }
    for (const auto& path : plain) {
        EXPECT_EQ(server.requestCount(path), 2) << path.constData();
    }
}

namespace {

// The messages of the image library's log while it lives, from any thread.
class ImageLibraryLogLines {
public:
    ImageLibraryLogLines() {
        instance = this;
        m_previous =
            qInstallMessageHandler([](QtMsgType, const QMessageLogContext& context, const QString& text) {
                if (QLatin1String(context.category) == QLatin1String(imageLibraryLog().categoryName())) {
                    std::lock_guard lock(instance->m_mutex);
                    instance->m_lines.append(text);
                }
            });
    }
    ~ImageLibraryLogLines() {
        qInstallMessageHandler(m_previous);
        instance = nullptr;
    }
    ImageLibraryLogLines(const ImageLibraryLogLines&) = delete;
    ImageLibraryLogLines& operator=(const ImageLibraryLogLines&) = delete;

    QStringList containing(const QString& text) {
        std::lock_guard lock(m_mutex);
        return m_lines.filter(text);
    }

private:
    static inline ImageLibraryLogLines* instance = nullptr;
    QtMessageHandler m_previous = nullptr;
    std::mutex m_mutex;
    QStringList m_lines;
};

} // namespace

TEST_F(Avatars, AnAvatarOverItsBoundIsRefusedAsItArrivesAndSaidOnceInTheLog) {
    ImageLibraryLogLines log;
    // Five megabytes of a plain picture: an SVG with a long comment.
    const QByteArray large =
        plainSvg().replace("</svg>", "<!-- " + QByteArray(5 * 1024 * 1024, 'x') + " --></svg>");
    server.serve("/large.svg", ImageAnswer::image(large, "image/svg+xml"));
    server.serve("/large-unannounced.svg", ImageAnswer::image(large, "image/svg+xml").withoutContentLength());
    for (const QByteArray& path : {QByteArray("/large.svg"), QByteArray("/large-unannounced.svg")}) {
        for (int round = 0; round < 3; ++round) {
            const auto answer = ask(path);
            ASSERT_TRUE(answered(answer)) << path.constData();
            std::lock_guard lock(mutex);
            EXPECT_FALSE(answer->image) << path.constData();
            EXPECT_TRUE(answer->error.is(round == 0 ? ImageErrorCode::InvalidDownloadResponse
                                                    : ImageErrorCode::BlockedURL))
                << path.constData() << " " << round << ": " << answer->error.message().toStdString();
        }
        // Asked again, it is refused without a request. (The network library may send a request
        // once more by itself when the answer it was reading is cut short.)
        EXPECT_LE(server.requestCount(path), path == "/large.svg" ? 1 : 2) << path.constData();
        EXPECT_EQ(log.containing(QString::fromLatin1(path)).size(), 1)
            << log.containing(QString::fromLatin1(path)).join(u'\n').toStdString();
    }
}

TEST_F(Avatars, AVectorAvatarInTheDiskCacheIsShownFromItAtTheNextStart) {
    servePlainOnes();
    // As a task row asks: the kept size alone.
    RemoteImageContext rowContext;
    rowContext.imageThumbnailPixelSize = QSizeF(60, 60);
    for (const auto& context : {avatarContext(), rowContext}) {
        const auto cacheFolder = std::make_shared<QTemporaryDir>();
        const auto first = managerOver(cacheFolder->path());
        for (const QByteArray& path :
             {QByteArray("/plain.svg"), QByteArray("/plain.pdf"), QByteArray("/plain.png")}) {
            const int requests = server.requestCount(path);
            // Drawn once, and stored before it is answered.
            const auto drawn = ask(path, RemoteImageWaitStoreCache, first, context);
            ASSERT_TRUE(answered(drawn)) << path.constData();
            ASSERT_TRUE(drawn->image) << path.constData() << ": " << drawn->error.message().toStdString();
            // A later start: the same folder, nothing in memory.
            const auto later = managerOver(cacheFolder->path());
            const QString key = later->cacheKeyForURL(server.url(QString::fromLatin1(path)), context);
            const QFileInfo stored(
                std::static_pointer_cast<ImageCache>(later->imageCache())->cachePathForKey(key));
            ASSERT_TRUE(stored.exists()) << path.constData();
            const QDateTime written = stored.lastModified();
            const auto again = ask(path, RemoteImageWaitStoreCache, later, context);
            ASSERT_TRUE(answered(again)) << path.constData();
            std::lock_guard lock(mutex);
            EXPECT_TRUE(again->image) << path.constData();
            EXPECT_EQ(again->cacheType, ImageCacheType::Disk) << path.constData();
            EXPECT_EQ(server.requestCount(path), requests + 1) << path.constData();
            EXPECT_EQ(again->image.size(), drawn->image.size()) << path.constData();
            // Nothing drawn again, nothing written again.
            EXPECT_FALSE(again->image.isVector()) << path.constData();
            EXPECT_EQ(QFileInfo(stored.filePath()).lastModified(), written) << path.constData();
        }
    }
}

TEST(AvatarDocuments, TheCostlyOnesReallyAreCostly) {
    // Each would keep a quick place far longer than a plain avatar takes, and the PDF runs out of
    // its budget: otherwise the floods above would prove nothing.
    QElapsedTimer clock;
    clock.start();
    const Image svg = ImageSVGCoder::createBitmapSVG(costlySvg(0), QSizeF(32, 32), true, 0);
    EXPECT_TRUE(svg.isNull() || clock.elapsed() > DecodeLanes::quickDrawingMs) << clock.elapsed();
    EXPECT_TRUE(ImagePDFCoder::createBitmapPDF(costlyPdf(0), 0, QSizeF(32, 32), true).isNull());
    bool ranOutOfBudget = false;
    for (int round = 0; round < 5 && !ranOutOfBudget; ++round) {
        VectorRenderProtocol::Request request;
        request.document = costlyPdf(round);
        request.pixels = QSize(32, 32);
        const auto answer = VectorRenderHost::ask(request);
        // Out of its CPU time, or, on a machine too busy to give it that, of its wall time; killed
        // at its deadline on a busy machine, it is tried again.
        ranOutOfBudget = answer && (answer->status == VectorRenderProtocol::Status::OverBudget ||
                                    answer->status == VectorRenderProtocol::Status::OutOfTime);
    }
    EXPECT_TRUE(ranOutOfBudget);
}
