// The PDF drawing process: answers drawing requests on its standard input and output (see
// PdfRenderProtocol) until that stream ends, as it does when the asking process ends, however
// it ends. Started and killed by PdfRenderHost.
#include "images/coders/PdfRenderProtocol.h"
#include "images/coders/pdf-render/PdfPageRenderer.h"

#include <QGuiApplication>
#include <QtEndian>

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

using velmora::images::PdfPageRenderer;
using velmora::images::PdfRenderProtocol;

namespace {

bool readAll(char* to, qsizetype size) {
    while (size > 0) {
        const ssize_t got = ::read(STDIN_FILENO, to, size_t(size));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        to += got;
        size -= got;
    }
    return true;
}

bool writeAll(const char* from, qsizetype size) {
    while (size > 0) {
        const ssize_t put = ::write(STDOUT_FILENO, from, size_t(size));
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return false;
        }
        from += put;
        size -= put;
    }
    return true;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool addressSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool addressSanitized = true;
#else
constexpr bool addressSanitized = false;
#endif
#else
constexpr bool addressSanitized = false;
#endif

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    // Glyphs are drawn through Qt's fonts, which need a GUI application; no display is used.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    if (!addressSanitized) {
        // What a drawing may allocate: far more than any page at the pixel budget needs. (The
        // address sanitiser reserves terabytes of address space of its own.)
        const rlimit memory{rlim_t(1) << 30, rlim_t(1) << 30};
        setrlimit(RLIMIT_AS, &memory);
    }
    PdfPageRenderer renderer;
    char greeting[4];
    qToLittleEndian(PdfRenderProtocol::magic, greeting);
    if (!writeAll(greeting, 4)) {
        return 0;
    }
    char header[PdfRenderProtocol::requestHeaderSize];
    while (readAll(header, sizeof header)) {
        quint32 length = 0;
        auto request = PdfRenderProtocol::decodeRequestHeader(header, &length);
        if (!request) {
            return 1;
        }
        request->document.resize(length);
        if (!readAll(request->document.data(), length)) {
            return 0;
        }
        const QByteArray answer = PdfRenderProtocol::encodeAnswer(renderer.answer(*request));
        if (!writeAll(answer.constData(), answer.size())) {
            return 0;
        }
    }
    return 0;
}
