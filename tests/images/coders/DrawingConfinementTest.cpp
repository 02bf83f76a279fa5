#include "images/coders/vector-render/DrawingConfinement.h"
#include "images/coders/vector-render/PdfPageRenderer.h"
#include "images/coders/vector-render/SvgDocumentRenderer.h"
#include "tests/images/support/ChildProcesses.h"
#include "tests/support/PdfDocuments.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QFile>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QProcessEnvironment>
#include <QScopeGuard>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <thread>

extern char** environ;

using namespace velmora::images;
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

} // namespace

// The half that runs in a child process, in a home folder of the test's: it confines itself as
// the drawing program does, then tries what a renderer taken over would, and draws text. It ends
// at once (no leak check, which would trace the process and is refused now), its status the
// verdict.
TEST(DrawingConfinementTest, childTriesWhatATakenOverRendererWould) {
    if (!qEnvironmentVariableIsSet(confinedChildVariable)) {
        GTEST_SKIP() << "started by AConfinedProcessReachesNoFileNoNetworkNoProcessAndStillDrawsText";
    }
    const QByteArray home = qgetenv("HOME");
    QString fontFile;
    for (QDirIterator fonts(QStringLiteral("/usr/share/fonts"), {QStringLiteral("*.ttf")}, QDir::Files,
                            QDirIterator::Subdirectories);
         fonts.hasNext() && fontFile.isEmpty();) {
        fontFile = fonts.next();
    }
    ASSERT_FALSE(fontFile.isEmpty());

    PdfPageRenderer pdf;
    SvgDocumentRenderer svg;
    const DrawingConfinement::Outcome outcome = DrawingConfinement::prepareAndConfine();
    ASSERT_TRUE(outcome.confined()) << outcome.failure.toStdString();
    const auto finish = [] {
        std::printf("confined child done\n");
        std::fflush(stdout);
        ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    };
    QFile status(QStringLiteral("/proc/self/status"));
    ASSERT_TRUE(status.open(QIODevice::ReadOnly));
    const QByteArray statusText = status.readAll();
    EXPECT_TRUE(statusText.contains("Seccomp:\t2")) << statusText.toStdString();

    // The user's files, the app's, and anything written: refused. The font cache stays readable.
    {
        EXPECT_TRUE(refused(::open(home + "/secret.txt", O_RDONLY | O_CLOEXEC))) << std::strerror(errno);
        EXPECT_TRUE(refused(::open(home, O_RDONLY | O_DIRECTORY | O_CLOEXEC))) << "the home folder is listed";
        EXPECT_TRUE(refused(::open(home + "/.local/share/VelmoraTests/store.sqlite", O_RDONLY | O_CLOEXEC)));
        EXPECT_TRUE(refused(::open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
        QFile cache(QString::fromLocal8Bit(home + "/.cache/fontconfig/readable"));
        EXPECT_TRUE(cache.open(QIODevice::ReadOnly)) << "the font cache is not readable";
    }
    EXPECT_TRUE(refused(::open(home + "/written.txt", O_WRONLY | O_CREAT | O_CLOEXEC, 0600)));
    EXPECT_TRUE(refused(::open(home + "/secret.txt", O_WRONLY | O_CLOEXEC)));

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
    EXPECT_TRUE(refused(::execve(program, arguments, environ))) << "still here only if refused";
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

    // What drawing needs goes on: threads, a font file read, text drawn by both renderers and by
    // Qt in a font not used before.
    bool threadRan = false;
    std::thread([&threadRan] { threadRan = true; }).join();
    EXPECT_TRUE(threadRan);
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
    finish();
}

TEST(DrawingConfinementTest, AConfinedProcessReachesNoFileNoNetworkNoProcessAndStillDrawsText) {
    if (qEnvironmentVariableIsSet(confinedChildVariable)) {
        GTEST_SKIP();
    }
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    const auto write = [&home](const QString& name) {
        QDir().mkpath(QFileInfo(home.filePath(name)).absolutePath());
        QFile file(home.filePath(name));
        return file.open(QIODevice::WriteOnly) && file.write("not for a drawing") > 0;
    };
    ASSERT_TRUE(write(QStringLiteral("secret.txt")));
    ASSERT_TRUE(write(QStringLiteral(".local/share/VelmoraTests/store.sqlite")));
    ASSERT_TRUE(write(QStringLiteral(".cache/fontconfig/readable")));
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

    auto environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home.path());
    for (const char* name : {"XDG_CACHE_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME"}) {
        environment.remove(QString::fromLatin1(name));
    }
    environment.insert(QString::fromLatin1(confinedChildVariable), QString::number(ntohs(address.sin_port)));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    QProcess child;
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(
        QCoreApplication::applicationFilePath(),
        {QStringLiteral("--gtest_filter=DrawingConfinementTest.childTriesWhatATakenOverRendererWould")});
    ASSERT_TRUE(child.waitForFinished(60000));
    const std::string output = QString::fromUtf8(child.readAll()).toStdString();
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit) << output;
    EXPECT_EQ(child.exitCode(), 0) << output;
    EXPECT_NE(output.find("confined child done"), std::string::npos) << output;
    const int accepted = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
    EXPECT_LT(accepted, 0) << "the child connected";
    if (accepted >= 0) {
        ::close(accepted);
    }
}
