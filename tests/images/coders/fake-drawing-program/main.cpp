// A drawing program that misbehaves as its name says, for the tests of the asking side. Its
// template greets and makes drawing processes as the real one does, unless said otherwise:
//   silent   the template never greets;
//   older    the template greets as the programs before versions did (the magic alone), then waits;
//   newer    the template greets with the next version, then waits;
//   cannot-start  ends at once with status 127, as the loader ends a program missing a library;
//   slow     the template greets a second after it started, as on a busy machine;
//   ahead    a drawing process greets and sends an answer nobody asked for, then answers each request;
//   chatty   a drawing process answers each request with one more answer nobody asked for
//            behind it (in the same write, so it is there as soon as the answer is);
//   unconfined     a drawing process greets saying it is not confined as a whole, then waits;
//   namespaced     a drawing process greets confined by namespaces (the kernel lacks Landlock),
//                  then answers each request;
//   who      a drawing process answers each request after as many milliseconds as its page
//            number, with its own process id as the page's width.
// Answers are of the page's size only: 60 x 60 points to a request, 30 x 30 unasked. A drawing
// process stops itself after each answer, as the real one does.
#include "images/coders/vector-render/VectorRenderProtocol.h"
#include "images/coders/vector-render/VectorRenderStream.h"

#include <QByteArray>
#include <QtEndian>

#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

using velmora::images::VectorRenderProtocol;
using velmora::images::VectorRenderStream;

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

bool writeAll(const QByteArray& bytes) {
    return ::write(STDOUT_FILENO, bytes.constData(), size_t(bytes.size())) == bytes.size();
}

QByteArray pageAnswer(quint32 id, double side = 60) {
    VectorRenderProtocol::Answer answer;
    answer.status = VectorRenderProtocol::Status::Drawn;
    answer.id = id;
    answer.pageSize = QSizeF(side, side);
    return VectorRenderProtocol::encodeAnswer(answer);
}

} // namespace

int drawingProcess(const QByteArray& mode) {
    char byte = 0;
    VectorRenderProtocol::Greeting greeting;
    greeting.held = VectorRenderProtocol::SystemCallFilter | VectorRenderProtocol::LandlockFileSystem;
    if (mode == "unconfined") {
        greeting.held = VectorRenderProtocol::NamespaceFileSystem;
        greeting.filter = VectorRenderProtocol::MeansAnswer::Missing;
        greeting.unconfined = true;
    }
    if (mode == "namespaced") {
        greeting.held = VectorRenderProtocol::SystemCallFilter | VectorRenderProtocol::NamespaceFileSystem;
        greeting.landlock = VectorRenderProtocol::MeansAnswer::Missing;
        greeting.namespaces = VectorRenderProtocol::MeansAnswer::Held;
    }
    if (!writeAll(VectorRenderProtocol::encodeGreeting(greeting))) {
        return 0;
    }
    if (mode == "unconfined") {
        while (readAll(&byte, 1)) {
        }
        return 0;
    }
    if (mode == "ahead" && !writeAll(pageAnswer(0, 30))) {
        return 0;
    }
    char header[VectorRenderProtocol::requestHeaderSize];
    while (readAll(header, sizeof header)) {
        quint32 length = 0;
        const auto request = VectorRenderProtocol::decodeRequestHeader(header, &length);
        QByteArray document(length, '\0');
        if (!request || !readAll(document.data(), length)) {
            return 1;
        }
        if (mode == "who") {
            ::usleep(useconds_t(request->page) * 1000);
        }
        QByteArray answer = mode == "who" ? pageAnswer(request->id, ::getpid()) : pageAnswer(request->id);
        if (mode == "chatty") {
            answer += pageAnswer(request->id + 1, 30);
        }
        if (!writeAll(answer)) {
            return 1;
        }
        // As the real one does: stopped until it is asked again.
        ::kill(::getpid(), SIGSTOP);
    }
    return 0;
}

int main(int, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    const char* slash = std::strrchr(argv[0], '/');
    const QByteArray mode = slash ? slash + 1 : argv[0];
    char byte = 0;
    if (mode == "cannot-start") {
        ::_exit(127);
    }
    if (mode == "silent") {
        while (readAll(&byte, 1)) {
        }
        return 0;
    }
    if (mode == "slow") {
        ::sleep(1);
    }
    QByteArray greetingBytes;
    if (mode == "older") {
        char magic[4];
        qToLittleEndian(VectorRenderProtocol::unversionedMagic, magic);
        greetingBytes = QByteArray(magic, 4);
    } else {
        VectorRenderProtocol::Greeting greeting;
        greeting.isTemplate = true;
        if (mode == "newer") {
            greeting.version = VectorRenderProtocol::version + 1;
        }
        greetingBytes = VectorRenderProtocol::encodeGreeting(greeting);
    }
    if (!writeAll(greetingBytes)) {
        return 0;
    }
    if (mode == "older" || mode == "newer") {
        while (readAll(&byte, 1)) {
        }
        return 0;
    }
    VectorRenderStream::serveAsTemplate([&mode] { ::_exit(drawingProcess(mode)); });
    return 0;
}
