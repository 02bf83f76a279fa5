#include "images/coders/vector-render/DrawingConfinement.h"
#include "images/coders/vector-render/PdfPageRenderer.h"
#include "images/coders/vector-render/ReadablePaths.h"
#include "images/coders/vector-render/SvgDocumentRenderer.h"
#include "images/coders/vector-render/VectorRenderHost.h"
#include "tests/images/coders/hostile-drawing/HostileMoves.h"
#include "tests/images/support/ChildProcesses.h"
#include "tests/images/support/KernelStandIn.h"
#include "tests/support/PdfDocuments.h"
#include "tests/support/TimeScale.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QFile>
#include <QFont>
#include <QGlyphRun>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRawFont>
#include <QScopeGuard>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QThreadPool>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysinfo.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

extern char** environ;

using namespace velmora::images;
using velmora::images::testing::standInForKernel;
using velmora::images::testing::userNamespacesWork;
using velmora::test::pdfOf;

namespace {

const char* confinedChildVariable = "VELMORA_CONFINED_CHILD_PORT";

// Pixels of `image` that hold ink (not transparent, not white).
int inked(const QImage& image) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor colour = image.pixelColor(x, y);
            count += colour.alpha() > 128 && colour.lightness() < 128 ? 1 : 0;
        }
    }
    return count;
}

// Text in a font the document does not embed, so that it is looked up and read from its file.
QByteArray pdfWithText(const QByteArray& text) {
    const QByteArray content = "BT /F1 30 Tf 4 16 Td (" + text + ") Tj ET";
    return pdfOf(
        {"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
         "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 60 60] /Resources << /Font << /F1 5 0 R >> >> "
         "/Contents 4 0 R >>",
         "<< /Length " + QByteArray::number(content.size()) + " >>\nstream\n" + content + "\nendstream",
         "<< /Type /Font /Subtype /Type1 /BaseFont /Times-Bold >>"});
}

QByteArray svgWithText(const QByteArray& text) {
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"60\" height=\"60\"><text x=\"2\" y=\"44\" "
           "font-family=\"serif\" font-weight=\"bold\" font-size=\"36\">" +
           text + "</text></svg>";
}

VectorRenderProtocol::Request requestOf(VectorRenderProtocol::Kind kind, const QByteArray& document) {
    VectorRenderProtocol::Request request;
    request.kind = kind;
    request.document = document;
    request.pixels = QSize(60, 60);
    return request;
}

bool refused(int result) {
    return result == -1 && (errno == EPERM || errno == EACCES || errno == ENOSYS);
}

// Refused, or not there at all (a namespace's root holds nothing but what drawing reads).
bool unreachable(int result) {
    return result == -1 && (errno == EPERM || errno == EACCES || errno == ENOSYS || errno == ENOENT);
}

const char* kernelVariable = "VELMORA_CONFINED_CHILD_KERNEL";
const char* expectVariable = "VELMORA_CONFINED_CHILD_EXPECTS";
const char* fontFileVariable = "VELMORA_CONFINED_CHILD_FONT";
const char* familiesVariable = "VELMORA_FILTER_FAMILIES_CHILD";

// Pixels of a glyph of the font in `file`, read from that file alone.
int inkedFromFontFile(const QString& file) {
    const QRawFont font(file, 36);
    if (!font.isValid()) {
        return 0;
    }
    QImage canvas(60, 60, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::transparent);
    QPainter painter(&canvas);
    painter.setPen(Qt::black);
    QGlyphRun run;
    run.setRawFont(font);
    run.setGlyphIndexes(font.glyphIndexesForString(QStringLiteral("W")));
    run.setPositions({QPointF(4, 44)});
    painter.drawGlyphRun(QPointF(0, 0), run);
    painter.end();
    return inked(canvas);
}

int threadsOfThisProcess() {
    return int(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

struct ChildRun {
    int exitCode = -1;
    std::string output;
};

// This test executable started again for the child test `test`, in `home`, with `extra` set.
ChildRun runChild(const QString& test, const QString& home, const QProcessEnvironment& extra) {
    auto environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home);
    for (const char* name : {"XDG_CACHE_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "FONTCONFIG_FILE"}) {
        environment.remove(QString::fromLatin1(name));
    }
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(extra);
    QProcess child;
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--gtest_filter=") + test});
    ChildRun run;
    if (!child.waitForFinished(velmora::test::scaledMs(60000))) {
        child.kill();
        child.waitForFinished();
        run.output = "did not end";
        return run;
    }
    run.output = QString::fromUtf8(child.readAll()).toStdString();
    run.exitCode = child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -1;
    return run;
}

bool writeFile(const QString& path, const QByteArray& text = "not for a drawing") {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

// A home folder of the test's, with the user's files a drawing must never read.
struct TestHome {
    QTemporaryDir root;
    QString home;

    TestHome() : home(root.filePath(QStringLiteral("homes/user"))) {
        writeFile(home + QStringLiteral("/secret.txt"));
        writeFile(home + QStringLiteral("/.ssh/id_ed25519"));
        writeFile(home + QStringLiteral("/.local/share/VelmoraTests/store.sqlite"));
        writeFile(home + QStringLiteral("/.config/VelmoraTests/secrets.ini"));
        writeFile(home + QStringLiteral("/Documents/letter.txt"));
        writeFile(root.filePath(QStringLiteral("homes/other/.ssh/id_ed25519")));
        writeFile(home + QStringLiteral("/.cache/fontconfig/readable"));
    }
};

QString systemFontFile() {
    for (QDirIterator fonts(QStringLiteral("/usr/share/fonts"), {QStringLiteral("*.ttf")}, QDir::Files,
                            QDirIterator::Subdirectories);
         fonts.hasNext();) {
        return fonts.next();
    }
    return {};
}

} // namespace

// The half that runs in a child process, in a home folder of the test's, on the kernel the parent
// names (stood in for by a filter loaded first): it confines itself as a drawing process does, and
// its outcome is the one the parent expects. Confined, it tries what a renderer taken over would,
// and draws text. It ends at once (no leak check, which would trace the process and is refused
// now), its status the verdict.
TEST(DrawingConfinementTest, childTriesWhatATakenOverRendererWould) {
    if (!qEnvironmentVariableIsSet(confinedChildVariable)) {
        GTEST_SKIP() << "started by the tests of the confinement";
    }
    const QByteArray kernel = qgetenv(kernelVariable);
    const QByteArray expected = qgetenv(expectVariable);
    const QByteArray home = qgetenv("HOME");
    const QString fontFile = systemFontFile();
    ASSERT_FALSE(fontFile.isEmpty());
    if (!kernel.isEmpty()) {
        ASSERT_TRUE(standInForKernel(kernel)) << kernel.toStdString();
    }

    PdfPageRenderer pdf;
    SvgDocumentRenderer svg;
    const DrawingConfinement::Outcome outcome = DrawingConfinement::prepareAndConfine();
    const auto finish = [] {
        std::printf("confined child done\n");
        std::fflush(stdout);
        ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    };
    using Means = VectorRenderProtocol::ConfinementMeans;
    using MeansAnswer = VectorRenderProtocol::MeansAnswer;
    const quint32 fileSystem = outcome.held & (Means::LandlockFileSystem | Means::NamespaceFileSystem);
    if (expected == "unconfined") {
        EXPECT_FALSE(outcome.confined()) << outcome.failure.toStdString();
        // What the kernel stood in for answered, as the greeting tells the app.
        if (kernel.contains("seccomp-missing")) {
            EXPECT_EQ(outcome.filter, MeansAnswer::Missing);
        }
        if (kernel.contains("seccomp-EPERM")) {
            EXPECT_EQ(outcome.filter, MeansAnswer::Refused);
        }
        // A filter refused as invalid is no kernel without filters: what it answered is kept.
        if (kernel.contains("seccomp-EINVAL")) {
            EXPECT_EQ(outcome.filter, MeansAnswer::Failed);
            EXPECT_EQ(outcome.filterError, EINVAL);
        }
        if (kernel.contains("userns-EPERM")) {
            EXPECT_EQ(fileSystem, 0u);
            EXPECT_EQ(outcome.namespaces, MeansAnswer::Refused);
        }
        finish();
    }
    ASSERT_TRUE(outcome.confined()) << outcome.failure.toStdString();
    EXPECT_EQ(fileSystem, expected == "namespaces" ? quint32(Means::NamespaceFileSystem)
                                                   : quint32(Means::LandlockFileSystem))
        << outcome.failure.toStdString();
    if (kernel.contains("landlock-ENOSYS")) {
        EXPECT_EQ(outcome.landlock, MeansAnswer::Missing);
    } else if (kernel.contains("landlock-EOPNOTSUPP")) {
        EXPECT_EQ(outcome.landlock, MeansAnswer::TurnedOff);
    } else if (kernel.contains("landlock-EPERM")) {
        EXPECT_EQ(outcome.landlock, MeansAnswer::Refused);
    }
    // Each of its threads under the filter.
    for (const QString& task :
         QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile status(QStringLiteral("/proc/self/task/%1/status").arg(task));
        ASSERT_TRUE(status.open(QIODevice::ReadOnly));
        const QByteArray statusText = status.readAll();
        EXPECT_TRUE(statusText.contains("Seccomp:\t2")) << statusText.toStdString();
    }

    // The user's files, the app's, the system's users and the app itself: unreadable; nothing
    // written. The font cache stays readable.
    for (const QByteArray& file :
         {home + "/secret.txt", home + "/.ssh/id_ed25519", home + "/.local/share/VelmoraTests/store.sqlite",
          home + "/.config/VelmoraTests/secrets.ini", home + "/../other/.ssh/id_ed25519",
          QByteArray("/etc/passwd")}) {
        EXPECT_TRUE(unreachable(::open(file, O_RDONLY | O_CLOEXEC))) << file.toStdString();
    }
    const QByteArray app = "/proc/" + QByteArray::number(::getppid());
    EXPECT_TRUE(unreachable(::open(app + "/mem", O_RDONLY | O_CLOEXEC))) << "the app's memory";
    EXPECT_TRUE(unreachable(::open(app + "/environ", O_RDONLY | O_CLOEXEC))) << "the app's environment";
    // The home, the folder holding it, /tmp: unlisted under Landlock; in a namespace's root, each is
    // an empty folder on the way to what is given in it (the font cache), holding nothing else.
    for (const QByteArray& folder : {home, home + "/..", QByteArray("/tmp")}) {
        const int listed = ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (expected == "namespaces" && listed >= 0) {
            ::close(listed);
            const QStringList names = QDir(QString::fromLocal8Bit(folder))
                                          .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
            for (const QString& name : names) {
                EXPECT_TRUE(name == QStringLiteral(".cache") || name == QStringLiteral("user") ||
                            name == QStringLiteral("homes") ||
                            name.startsWith(QStringLiteral("VelmoraTests")))
                    << folder.toStdString() << " holds " << name.toStdString();
            }
        } else {
            EXPECT_TRUE(unreachable(listed)) << folder.toStdString();
        }
    }
    QFile cache(QString::fromLocal8Bit(home + "/.cache/fontconfig/readable"));
    EXPECT_TRUE(cache.open(QIODevice::ReadOnly)) << "the font cache is not readable";
    EXPECT_TRUE(unreachable(::open(home + "/written.txt", O_WRONLY | O_CREAT | O_CLOEXEC, 0600)));
    EXPECT_TRUE(unreachable(::open(home + "/secret.txt", O_WRONLY | O_CLOEXEC)));

    // No socket to make, so none to connect to the test's port; no pair either.
    const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_TRUE(refused(socket)) << "a socket was made";
    if (socket >= 0) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(quint16(qEnvironmentVariableIntValue(confinedChildVariable)));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_TRUE(refused(::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address)))
            << "connected to the test's port";
    }
    EXPECT_TRUE(refused(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)));
    int pair[2];
    EXPECT_TRUE(refused(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair)));

    // No process: neither a copy of this one nor another program, nor a signal to another.
    const pid_t forked = ::fork();
    if (forked == 0) {
        ::_exit(0);
    }
    EXPECT_TRUE(refused(forked)) << "forked";
    char program[] = "/bin/true";
    char* arguments[] = {program, nullptr};
    pid_t spawned = -1;
    EXPECT_NE(::posix_spawn(&spawned, program, nullptr, nullptr, arguments, environ), 0) << "spawned";
    EXPECT_TRUE(unreachable(::execve(program, arguments, environ))) << "still here only if refused";
    EXPECT_TRUE(refused(::kill(::getppid(), 0))) << "may signal the test";
    EXPECT_TRUE(refused(int(::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr))));
    // Nor a way around those: a namespace of its own, the kernel's key store, another process's
    // memory (each allowed to this process before).
    char theirs[8];
    char ours[8];
    iovec local{ours, sizeof ours};
    iovec remote{theirs, sizeof theirs};
    EXPECT_TRUE(refused(int(::process_vm_readv(::getppid(), &local, 1, &remote, 1, 0))));
    EXPECT_TRUE(refused(::unshare(CLONE_NEWUSER)));
    EXPECT_TRUE(refused(int(::syscall(SYS_keyctl, 0 /* KEYCTL_GET_KEYRING_ID */, -3 /* session */, 0))));

    // No thread either, whatever the user's limit: it runs its drawing thread and no other.
    EXPECT_EQ(threadsOfThisProcess(), DrawingConfinement::drawingThreads);
    pthread_t another{};
    EXPECT_NE(::pthread_create(
                  &another, nullptr, [](void*) -> void* { return nullptr; }, nullptr),
              0)
        << "a thread was started";
    EXPECT_EQ(threadsOfThisProcess(), DrawingConfinement::drawingThreads);

    // What drawing needs goes on: Qt's pooled work (large images converted and scaled on the
    // drawing thread), a font file read, text drawn by both renderers and by Qt in a font not
    // used before.
    QImage large(1500, 1500, QImage::Format_RGB888);
    large.fill(Qt::red);
    const QImage converted = large.convertToFormat(QImage::Format_RGBA64_Premultiplied);
    EXPECT_EQ(converted.pixelColor(700, 1400), QColor(Qt::red));
    const QImage scaled = converted.scaled(900, 700, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    EXPECT_EQ(scaled.pixelColor(450, 600), QColor(Qt::red));
    QSemaphore pooled;
    QThreadPool::globalInstance()->start([&pooled] { pooled.release(); });
    EXPECT_TRUE(pooled.tryAcquire(1, velmora::test::scaledMs(10000))) << "the drawing thread ran nothing";
    EXPECT_EQ(threadsOfThisProcess(), DrawingConfinement::drawingThreads);
    QFile font(fontFile);
    ASSERT_TRUE(font.open(QIODevice::ReadOnly)) << fontFile.toStdString();
    EXPECT_GT(font.readAll().size(), 1000);
    const auto svgDrawn = svg.answer(requestOf(VectorRenderProtocol::Kind::Svg, svgWithText("Wg")));
    EXPECT_EQ(svgDrawn.status, VectorRenderProtocol::Status::Drawn);
    EXPECT_GT(inked(svgDrawn.image), 40) << "no text in the SVG";
    const auto pdfDrawn = pdf.answer(requestOf(VectorRenderProtocol::Kind::Pdf, pdfWithText("Wg")));
    EXPECT_EQ(pdfDrawn.status, VectorRenderProtocol::Status::Drawn);
    EXPECT_GT(inked(pdfDrawn.image), 40) << "no text in the PDF";
    QImage canvas(60, 60, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::transparent);
    QPainter painter(&canvas);
    painter.setFont(QFont(QStringLiteral("Monospace"), 28, QFont::Bold, true));
    painter.drawText(QPointF(2, 44), QStringLiteral("Mj"));
    painter.end();
    EXPECT_GT(inked(canvas), 40) << "no text drawn by Qt";
    // A font the test put in the home is drawn from its file.
    if (const QString homeFont = qEnvironmentVariable(fontFileVariable); !homeFont.isEmpty()) {
        EXPECT_GT(inkedFromFontFile(homeFont), 20) << "the font in the home is not drawn";
    }
    finish();
}

namespace {

// Runs the child above on `kernel` in a home of the test's, which expects `expected`.
void expectConfinement(const QByteArray& kernel, const QByteArray& expected) {
    TestHome home;
    ASSERT_TRUE(QFileInfo::exists(home.home + QStringLiteral("/secret.txt")));
    // A local port the child is given to connect to.
    const int listening = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    ASSERT_GE(listening, 0);
    const auto closeListening = qScopeGuard([listening] { ::close(listening); });
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listening, 4), 0);
    ASSERT_EQ(::getsockname(listening, reinterpret_cast<sockaddr*>(&address), &length), 0);

    QProcessEnvironment extra;
    extra.insert(QString::fromLatin1(confinedChildVariable), QString::number(ntohs(address.sin_port)));
    extra.insert(QString::fromLatin1(kernelVariable), QString::fromLatin1(kernel));
    extra.insert(QString::fromLatin1(expectVariable), QString::fromLatin1(expected));
    const ChildRun run = runChild(
        QStringLiteral("DrawingConfinementTest.childTriesWhatATakenOverRendererWould"), home.home, extra);
    EXPECT_EQ(run.exitCode, 0) << kernel.toStdString() << ":\n" << run.output;
    EXPECT_NE(run.output.find("confined child done"), std::string::npos) << run.output;
    const int accepted = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
    EXPECT_LT(accepted, 0) << "the child connected";
    if (accepted >= 0) {
        ::close(accepted);
    }
}

} // namespace

TEST(DrawingConfinementTest, AConfinedProcessReachesNoFileNoNetworkNoProcessAndStillDrawsText) {
    if (qEnvironmentVariableIsSet(confinedChildVariable)) {
        GTEST_SKIP();
    }
    expectConfinement({}, "landlock");
}

// Where the kernel lacks Landlock, has it turned off or a sandbox refuses it, namespaces close the
// file system as tightly; where user namespaces are not allowed either, the process is not
// confined as a whole (and is sent nothing, see VectorDrawingProcessTest).
TEST(DrawingConfinementTest, WithoutLandlockNamespacesCloseTheFileSystemOrTheProcessIsNotConfined) {
    if (qEnvironmentVariableIsSet(confinedChildVariable)) {
        GTEST_SKIP();
    }
    const QByteArray withNamespaces = userNamespacesWork() ? "namespaces" : "unconfined";
    for (const char* kernel : {"landlock-ENOSYS", "landlock-EOPNOTSUPP", "landlock-EPERM"}) {
        SCOPED_TRACE(kernel);
        expectConfinement(kernel, withNamespaces);
    }
    SCOPED_TRACE("no user namespaces either");
    expectConfinement("landlock-ENOSYS+userns-EPERM", "unconfined");
}

// Without a system-call filter, or with one refused, the file system's closure alone is no
// confinement.
TEST(DrawingConfinementTest, WithoutTheSystemCallFilterTheProcessIsNotConfined) {
    if (qEnvironmentVariableIsSet(confinedChildVariable)) {
        GTEST_SKIP();
    }
    for (const char* kernel :
         {"seccomp-missing", "seccomp-EPERM", "seccomp-EINVAL", "landlock-ENOSYS+seccomp-missing"}) {
        SCOPED_TRACE(kernel);
        expectConfinement(kernel, "unconfined");
    }
}

// A kernel (or a sandbox) that refuses a filter for every thread of a process at once (EINVAL for
// the synchronisation's flag) takes each thread's own: a drawing process, one thread when it
// confines itself and its drawing thread taking the filter for itself, needs no more.
TEST(DrawingConfinementTest, AKernelThatRefusesAFilterForEveryThreadConfinesAllTheSame) {
    if (qEnvironmentVariableIsSet(confinedChildVariable)) {
        GTEST_SKIP();
    }
    expectConfinement("seccomp-TSYNC-EINVAL", "landlock");
}

// The half that starts a second thread, then asks to be confined: refused, and nothing of it done
// (Landlock would bind the asking thread alone, and the other would read all it could before).
TEST(DrawingConfinementTest, childAsksToBeConfinedBesideASecondThread) {
    if (qgetenv(confinedChildVariable) != "second thread") {
        GTEST_SKIP() << "started by NoProcessIsConfinedWhileASecondThreadRuns";
    }
    const QByteArray secret = qgetenv("HOME") + "/secret.txt";
    std::mutex mutex;
    std::condition_variable asked;
    bool confining = false;
    bool done = false;
    bool readBeside = false;
    std::thread beside([&] {
        std::unique_lock lock(mutex);
        asked.wait(lock, [&] { return confining; });
        const int fd = ::open(secret.constData(), O_RDONLY | O_CLOEXEC);
        readBeside = fd >= 0;
        if (fd >= 0) {
            ::close(fd);
        }
        done = true;
        asked.notify_all();
    });
    const DrawingConfinement::Outcome outcome = DrawingConfinement::prepareAndConfine();
    {
        std::unique_lock lock(mutex);
        confining = true;
        asked.notify_all();
        asked.wait(lock, [&] { return done; });
    }
    beside.join();
    EXPECT_FALSE(outcome.confined());
    EXPECT_EQ(outcome.held, 0u) << "confined in part: " << outcome.failure.toStdString();
    EXPECT_TRUE(outcome.failure.contains("threads run")) << outcome.failure.toStdString();
    // The thread beside read the user's file: what a confinement of one thread would leave.
    EXPECT_TRUE(readBeside);
    std::printf("second thread done\n");
    std::fflush(stdout);
    ::_exit(::testing::Test::HasFailure() ? 1 : 0);
}

TEST(DrawingConfinementTest, NoProcessIsConfinedWhileASecondThreadRuns) {
    if (qEnvironmentVariableIsSet(confinedChildVariable)) {
        GTEST_SKIP();
    }
    TestHome home;
    QProcessEnvironment extra;
    extra.insert(QString::fromLatin1(confinedChildVariable), QStringLiteral("second thread"));
    const ChildRun run = runChild(
        QStringLiteral("DrawingConfinementTest.childAsksToBeConfinedBesideASecondThread"), home.home, extra);
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("second thread done"), std::string::npos) << run.output;
}

// Fonts open no more than fonts: a configuration naming the home, or the folder holding the homes,
// and a link in the user's font folder to the home, leave the home's files unreadable while a
// font lying there is drawn; a file under the home with another name (a hard link) is not given.
TEST(DrawingConfinementTest, FontsConfiguredInTheHomeOpenOnlyTheFontFiles) {
    if (qEnvironmentVariableIsSet(confinedChildVariable)) {
        GTEST_SKIP();
    }
    const QString font = systemFontFile();
    ASSERT_FALSE(font.isEmpty());
    for (const QString& setup : {QStringLiteral("the home"), QStringLiteral("the homes' folder"),
                                 QStringLiteral("a link to the home")}) {
        SCOPED_TRACE(setup.toStdString());
        TestHome home;
        const QString homeFont = home.home + QStringLiteral("/Documents/fonts/mine.ttf");
        ASSERT_TRUE(QDir().mkpath(QFileInfo(homeFont).absolutePath()));
        ASSERT_TRUE(QFile::copy(font, homeFont));
        // A font under a second name, and a secret under a name in the font cache.
        const QString copy = home.home + QStringLiteral("/Documents/fonts/copy.ttf");
        ASSERT_TRUE(QFile::copy(font, copy));
        ASSERT_EQ(
            ::link(QFile::encodeName(copy).constData(),
                   QFile::encodeName(home.home + QStringLiteral("/Documents/fonts/second.ttf")).constData()),
            0);
        ASSERT_EQ(
            ::link(QFile::encodeName(home.home + QStringLiteral("/secret.txt")).constData(),
                   QFile::encodeName(home.home + QStringLiteral("/.cache/fontconfig/linked")).constData()),
            0);
        QProcessEnvironment extra;
        if (setup == QStringLiteral("a link to the home")) {
            ASSERT_TRUE(QDir().mkpath(home.home + QStringLiteral("/.local/share/fonts")));
            ASSERT_TRUE(QFile::link(home.home, home.home + QStringLiteral("/.local/share/fonts/x")));
        } else {
            const QString named =
                setup == QStringLiteral("the home") ? home.home : QFileInfo(home.home).path();
            const QString configuration = home.root.filePath(QStringLiteral("fonts.conf"));
            ASSERT_TRUE(
                writeFile(configuration, "<?xml version=\"1.0\"?><fontconfig><include ignore_missing=\"yes\">"
                                         "/etc/fonts/fonts.conf</include><dir>" +
                                             QFile::encodeName(named) + "</dir></fontconfig>"));
            extra.insert(QStringLiteral("FONTCONFIG_FILE"), configuration);
        }
        extra.insert(QString::fromLatin1(confinedChildVariable), QStringLiteral("0"));
        extra.insert(QString::fromLatin1(expectVariable), QStringLiteral("landlock"));
        extra.insert(QString::fromLatin1(fontFileVariable), homeFont);
        const ChildRun run = runChild(
            QStringLiteral("DrawingConfinementTest.childTriesWhatATakenOverRendererWould"), home.home, extra);
        EXPECT_EQ(run.exitCode, 0) << run.output;

        // What was given, as the child works it out: the font file, never a folder of the home
        // but its font cache, nor a file of it with a second name.
        extra.insert(QString::fromLatin1(confinedChildVariable), QStringLiteral("paths"));
        const ChildRun listed =
            runChild(QStringLiteral("DrawingConfinementTest.childListsWhatItMayRead"), home.home, extra);
        ASSERT_EQ(listed.exitCode, 0) << listed.output;
        const QString canonicalHome = QFileInfo(home.home).canonicalFilePath();
        const QString canonicalFont = QFileInfo(homeFont).canonicalFilePath();
        bool fontGiven = false;
        for (const QString& line : QString::fromStdString(listed.output).split(QLatin1Char('\n'))) {
            if (!line.startsWith(QStringLiteral("readable "))) {
                continue;
            }
            const QString path = line.mid(9);
            fontGiven = fontGiven || path == canonicalFont;
            EXPECT_FALSE(canonicalHome.startsWith(path))
                << "a folder holding the home: " << path.toStdString();
            if (path.startsWith(canonicalHome + QLatin1Char('/'))) {
                EXPECT_TRUE(path == canonicalFont ||
                            path.startsWith(canonicalHome + QStringLiteral("/.cache/fontconfig/")))
                    << path.toStdString();
                EXPECT_FALSE(path.endsWith(QStringLiteral("/second.ttf")) ||
                             path.endsWith(QStringLiteral("/copy.ttf")) ||
                             path.endsWith(QStringLiteral("/linked")))
                    << path.toStdString();
            }
        }
        EXPECT_TRUE(fontGiven) << listed.output;
    }
}

// The half that lists what a drawing process of this home may read.
TEST(DrawingConfinementTest, childListsWhatItMayRead) {
    if (qgetenv(confinedChildVariable) != "paths") {
        GTEST_SKIP() << "started by FontsConfiguredInTheHomeOpenOnlyTheFontFiles";
    }
    for (const DrawingConfinement::Readable& entry : DrawingConfinement::readablePaths()) {
        std::printf("readable %s\n", entry.resolved.constData());
    }
}

// The half that loads the system-call filter alone (no Landlock, no namespaces) and tries one call
// of each family it refuses: each is refused by the filter itself.
TEST(DrawingConfinementTest, childTriesEachRefusedFamilyUnderTheFilterAlone) {
    if (!qEnvironmentVariableIsSet(familiesVariable)) {
        GTEST_SKIP() << "started by TheFilterAloneRefusesEveryFamilyDrawingNeverCalls";
    }
    const QByteArray scratch = qgetenv(familiesVariable);
    const pid_t app = ::getppid();
    ASSERT_TRUE(DrawingConfinement::loadSystemCallFilter().isEmpty());
    const auto finish = [] {
        std::printf("families done\n");
        std::fflush(stdout);
        ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    };
    const QByteArray file = scratch + "/file";
    // Files: written, created, emptied; their mode, attributes, times and links.
    EXPECT_TRUE(refused(::open(file, O_WRONLY | O_CLOEXEC))) << "written";
    EXPECT_TRUE(refused(::open(scratch + "/new", O_RDONLY | O_CREAT | O_CLOEXEC, 0600))) << "created";
    EXPECT_TRUE(refused(::open(file, O_RDONLY | O_TRUNC | O_CLOEXEC))) << "emptied";
    EXPECT_TRUE(refused(::chmod(file, 0777))) << "mode";
    EXPECT_TRUE(refused(::chown(file, ::getuid(), ::getgid()))) << "owner";
    EXPECT_TRUE(refused(::utimensat(AT_FDCWD, file, nullptr, 0))) << "times";
    EXPECT_TRUE(refused(::setxattr(file, "user.velmora", "x", 1, 0))) << "attributes";
    EXPECT_TRUE(refused(::truncate(file, 0))) << "truncated";
    EXPECT_TRUE(refused(::unlink(file))) << "removed";
    EXPECT_TRUE(refused(::rename(file, scratch + "/moved"))) << "renamed";
    EXPECT_TRUE(refused(::mkdir(scratch + "/folder", 0700))) << "folder made";
    EXPECT_TRUE(refused(::symlink(file, scratch + "/link"))) << "link made";
    const int readable = ::open(file, O_RDONLY | O_CLOEXEC);
    ASSERT_GE(readable, 0) << "a file is still read";
    struct flock lock {};
    lock.l_type = F_RDLCK;
    EXPECT_TRUE(refused(::fcntl(readable, F_SETLK, &lock))) << "locked";
    EXPECT_TRUE(refused(::fcntl(readable, F_SETOWN, app))) << "an owner for its signals";
    EXPECT_TRUE(refused(::flock(readable, LOCK_SH))) << "flock";
    // Other processes: a signal, a queued signal, a priority, limits, their memory, tracing.
    EXPECT_TRUE(refused(::kill(app, 0))) << "signalled the app";
    EXPECT_TRUE(refused(int(::syscall(SYS_tgkill, app, app, 0)))) << "signalled a thread of the app";
    siginfo_t info{};
    info.si_code = SI_QUEUE;
    EXPECT_TRUE(refused(int(::syscall(SYS_rt_sigqueueinfo, ::getpid(), SIGUSR1, &info))))
        << "queued a signal";
    EXPECT_TRUE(refused(::setpriority(PRIO_PROCESS, id_t(app), 19))) << "the app's priority";
    EXPECT_TRUE(refused(::setpriority(PRIO_PROCESS, 0, 19))) << "its own priority";
    rlimit limit{1, 1};
    EXPECT_TRUE(refused(::prlimit(app, RLIMIT_NOFILE, &limit, nullptr))) << "the app's limits";
    EXPECT_TRUE(refused(::setrlimit(RLIMIT_CORE, &limit))) << "its own limits";
    char theirs[8];
    char ours[8];
    iovec local{ours, sizeof ours};
    iovec remote{theirs, sizeof theirs};
    EXPECT_TRUE(refused(int(::process_vm_readv(app, &local, 1, &remote, 1, 0)))) << "the app's memory";
    EXPECT_TRUE(refused(int(::ptrace(PTRACE_ATTACH, app, nullptr, nullptr)))) << "traced the app";
    EXPECT_TRUE(refused(int(::syscall(SYS_pidfd_open, app, 0)))) << "a handle on the app";
    // Processes and programs.
    const pid_t forked = ::fork();
    if (forked == 0) {
        ::_exit(0);
    }
    EXPECT_TRUE(refused(forked)) << "forked";
    EXPECT_TRUE(refused(int(::syscall(SYS_clone, SIGCHLD, nullptr, nullptr, nullptr, 0))))
        << "cloned a process";
    EXPECT_TRUE(refused(int(::syscall(SYS_vfork)))) << "vforked";
    char program[] = "/bin/true";
    char* arguments[] = {program, nullptr};
    EXPECT_TRUE(refused(::execve(program, arguments, environ))) << "ran a program";
    // Namespaces and the kernel's other doors.
    EXPECT_TRUE(refused(::unshare(CLONE_NEWUSER))) << "a user namespace";
    EXPECT_TRUE(refused(int(::syscall(SYS_setns, 0, 0)))) << "another's namespace";
    EXPECT_TRUE(refused(::mount("none", scratch, "tmpfs", 0, nullptr))) << "mounted";
    EXPECT_TRUE(refused(int(::syscall(SYS_keyctl, 0, -3, 0)))) << "the key store";
    EXPECT_TRUE(refused(int(::syscall(SYS_bpf, 0, nullptr, 0)))) << "bpf";
    EXPECT_TRUE(refused(int(::syscall(SYS_io_uring_setup, 1, nullptr)))) << "io_uring";
    EXPECT_TRUE(refused(int(::syscall(SYS_memfd_create, "x", 0)))) << "an anonymous file";
    // Sockets and what only they need.
    EXPECT_TRUE(refused(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))) << "a UDP socket";
    EXPECT_TRUE(refused(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0))) << "a path socket";
    int pair[2];
    EXPECT_TRUE(refused(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair))) << "a socket pair";
    msghdr message{};
    EXPECT_TRUE(refused(int(::sendmsg(STDOUT_FILENO, &message, 0)))) << "sendmsg";
    EXPECT_TRUE(refused(int(::recvmsg(STDIN_FILENO, &message, MSG_DONTWAIT)))) << "recvmsg";
    // Calls drawing never makes.
#if !defined(__SANITIZE_ADDRESS__)
    // (A sanitised build's own checks make pipes: allowed there alone.)
    EXPECT_TRUE(refused(::pipe(pair))) << "a pipe";
#endif
    EXPECT_TRUE(refused(::epoll_create1(EPOLL_CLOEXEC))) << "epoll";
    timeval zero{};
    EXPECT_TRUE(refused(::select(0, nullptr, nullptr, nullptr, &zero))) << "select";
    unsigned cpu = 0;
    EXPECT_TRUE(refused(int(::syscall(SYS_getcpu, &cpu, nullptr, nullptr)))) << "getcpu";
    struct sysinfo system {};
    EXPECT_TRUE(refused(::sysinfo(&system))) << "sysinfo";
    unsigned char resident = 0;
    EXPECT_TRUE(
        refused(::mincore(reinterpret_cast<void*>(uintptr_t(&resident) & ~uintptr_t(4095)), 1, &resident)))
        << "mincore";
    finish();
}

TEST(DrawingConfinementTest, TheFilterAloneRefusesEveryFamilyDrawingNeverCalls) {
    if (qEnvironmentVariableIsSet(familiesVariable)) {
        GTEST_SKIP();
    }
    QTemporaryDir scratch;
    ASSERT_TRUE(writeFile(scratch.filePath(QStringLiteral("file"))));
    QProcessEnvironment extra;
    extra.insert(QString::fromLatin1(familiesVariable), scratch.path());
    const ChildRun run =
        runChild(QStringLiteral("DrawingConfinementTest.childTriesEachRefusedFamilyUnderTheFilterAlone"),
                 scratch.path(), extra);
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("families done"), std::string::npos) << run.output;
    // Nothing of it happened.
    EXPECT_TRUE(QFile(scratch.filePath(QStringLiteral("file"))).exists());
    EXPECT_FALSE(QFile(scratch.filePath(QStringLiteral("new"))).exists());
}

namespace {

const char* swapKernelVariable = "VELMORA_SWAP_CHILD_KERNEL";

// The font file and the font cache file the hostile build reads by name (see HostileMoves.h).
QString swappedFont(const QString& home) {
    return home + QStringLiteral("/.local/share/fonts/velmora-swapped.ttf");
}
QString swappedCache(const QString& home) {
    return home + QStringLiteral("/.cache/fontconfig/velmora-swapped.cache-8");
}

// Puts `to` at `path` in one step, as another program of the user could: a link to it, or with
// `hard`, another name of it.
bool swapIn(const QString& path, const QString& to, bool hard) {
    const QByteArray staged = QFile::encodeName(path + QStringLiteral(".staged"));
    const QByteArray target = QFile::encodeName(to);
    return (hard ? ::link(target.constData(), staged.constData())
                 : ::symlink(target.constData(), staged.constData())) == 0 &&
           ::rename(staged.constData(), QFile::encodeName(path).constData()) == 0;
}

bool putFontFiles(const QString& home) {
    QFile::remove(swappedFont(home));
    QFile::remove(swappedCache(home));
    return QDir().mkpath(QFileInfo(swappedFont(home)).path()) &&
           QFile::copy(systemFontFile(), swappedFont(home)) &&
           writeFile(swappedCache(home), "a font cache of the tests");
}

} // namespace

// The half that runs in a child in the test's home, the app's side with the program's build that
// reads the swapped files by name once confined (answering a page wider by a point for each
// secret read, and taller by one for each file it could open): the template starts with the font
// file and the cache file as they are, then another program swaps them for a link to a secret,
// and once again, the template started anew, for another name of a key.
TEST(DrawingConfinementTest, childSwapsFontFilesUnderTheTemplate) {
    if (qgetenv(confinedChildVariable) != "swap") {
        GTEST_SKIP() << "started by AFontFileSwappedAfterTheTemplateStartedOpensNothing";
    }
    const QString home = qEnvironmentVariable("HOME");
    const QByteArray kernel = qgetenv(swapKernelVariable);
    QTemporaryDir links;
    const QString applications = QCoreApplication::applicationDirPath();
    const QString program = kernel.isEmpty() ? links.filePath(QStringLiteral("read-swapped"))
                                             : links.filePath(QString::fromLatin1(kernel + "@read-swapped"));
    ASSERT_TRUE(
        QFile::link(applications + (kernel.isEmpty() ? QStringLiteral("/velmora_hostile_drawing_program")
                                                     : QStringLiteral("/velmora_kernel_stand_in")),
                    program));
    int variant = 0;
    // The page the copy answered for a new document: 60 x 60, grown by what it read.
    const auto asked = [&variant]() -> QSizeF {
        VectorRenderProtocol::Request request;
        request.document = pdfWithText("W") + "% " + QByteArray::number(++variant) + "\n";
        const auto answer = VectorRenderHost::ask(request);
        return answer ? answer->pageSize : QSizeF();
    };
    const auto restore = qScopeGuard([] { VectorRenderHost::useProgram(VectorRenderHost::programPath()); });
    for (const bool hard : {false, true}) {
        SCOPED_TRACE(hard ? "another name of a key" : "a link to a secret");
        ASSERT_TRUE(putFontFiles(home));
        // A template started anew, with the files as they are: both given to its copies.
        VectorRenderHost::useProgram(program);
        EXPECT_EQ(asked(), QSizeF(60, 62)) << "the files were not given";
        const QString font =
            hard ? home + QStringLiteral("/.ssh/id_ed25519") : home + QStringLiteral("/secret.txt");
        ASSERT_TRUE(swapIn(swappedFont(home), font, hard));
        ASSERT_TRUE(swapIn(swappedCache(home), home + QStringLiteral("/secret.txt"), hard));
        const QSizeF after = asked();
        ASSERT_FALSE(after.isEmpty()) << "no answer";
        EXPECT_EQ(after.width(), 60) << after.width() - 60 << " secrets read";
    }
    std::printf("swap child done\n");
    std::fflush(stdout);
}

TEST(DrawingConfinementTest, AFontFileSwappedAfterTheTemplateStartedOpensNothing) {
    if (qEnvironmentVariableIsSet(confinedChildVariable)) {
        GTEST_SKIP();
    }
    // Under Landlock (where this kernel has it), and under namespaces (where it lets a user make
    // them), Landlock stood in for as missing.
    QList<QByteArray> kernels{QByteArray()};
    if (userNamespacesWork()) {
        kernels.append("landlock-ENOSYS");
    }
    for (const QByteArray& kernel : kernels) {
        SCOPED_TRACE(kernel.isEmpty() ? "this kernel" : kernel.constData());
        TestHome home;
        QProcessEnvironment extra;
        extra.insert(QString::fromLatin1(confinedChildVariable), QStringLiteral("swap"));
        extra.insert(QString::fromLatin1(swapKernelVariable), QString::fromLatin1(kernel));
        const ChildRun run = runChild(
            QStringLiteral("DrawingConfinementTest.childSwapsFontFilesUnderTheTemplate"), home.home, extra);
        EXPECT_EQ(run.exitCode, 0) << run.output;
        EXPECT_NE(run.output.find("swap child done"), std::string::npos) << run.output;
    }
}

// The template opens what a drawing process may read one folder at a time without following a
// link: a path judged readable, then swapped for a link to the home by another program of the
// user (the last part, or a folder on the way), opens nothing, while one left as it was opens.
TEST(DrawingConfinementTest, ThePathsJudgedReadableAreOpenedThroughNoLinkPutThereSince) {
    if (qEnvironmentVariableIsSet(confinedChildVariable)) {
        GTEST_SKIP();
    }
    QTemporaryDir root;
    const QByteArray at = QFile::encodeName(root.path());
    const QString home = root.filePath(QStringLiteral("home"));
    ASSERT_TRUE(writeFile(home + QStringLiteral("/secret.txt")));
    ASSERT_TRUE(writeFile(home + QStringLiteral("/b.ttf")));
    ASSERT_TRUE(writeFile(root.filePath(QStringLiteral("fonts/a.ttf")), "a font"));
    ASSERT_TRUE(writeFile(root.filePath(QStringLiteral("fonts/c.ttf")), "a font"));
    ASSERT_TRUE(writeFile(root.filePath(QStringLiteral("fonts/sub/b.ttf")), "a font"));
    ASSERT_TRUE(QDir().mkpath(root.filePath(QStringLiteral("cache"))));
    // As judged: each path resolved, none a link.
    QList<DrawingConfinement::Readable> judged;
    for (const char* path : {"/cache", "/fonts/a.ttf", "/fonts/sub/b.ttf", "/fonts/c.ttf"}) {
        judged.append({at + path, at + path});
    }
    // Swapped since: the cache folder, a font file and a folder on the way to another.
    const auto swap = [&](const QString& path, const QString& to) {
        return QDir(path).removeRecursively() && (QFile::exists(path) ? QFile::remove(path) : true) &&
               QFile::link(to, path);
    };
    ASSERT_TRUE(swap(root.filePath(QStringLiteral("cache")), home));
    ASSERT_TRUE(swap(root.filePath(QStringLiteral("fonts/a.ttf")), home + QStringLiteral("/secret.txt")));
    ASSERT_TRUE(swap(root.filePath(QStringLiteral("fonts/sub")), home));

    std::vector<ReadablePaths::Held> held = ReadablePaths::hold(judged);
    const auto closeHeld = qScopeGuard([&held] { ReadablePaths::close(held); });
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held.front().entry.path, at + "/fonts/c.ttf");
    struct stat font {};
    ASSERT_EQ(::stat((at + "/fonts/c.ttf").constData(), &font), 0);
    EXPECT_EQ(held.front().inode, font.st_ino);
}
