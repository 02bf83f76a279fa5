#pragma once

#include "images/coders/vector-render/DrawingProcess.h"
#include "images/coders/vector-render/VectorRenderProtocol.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>
#include <QStringList>

#include <optional>

namespace velmora::images {

// The drawing program as the app's side knows it: where it was found (looked for once, relative
// to the running binary) or chosen (by tests), opened then and started from that descriptor,
// whether it was refused, and what it says when it greets. What is said of a program in the log
// is said once for each program.
class DrawingProgram {
public:
    DrawingProgram() = delete;

    // The program: where it was found, and a descriptor of the file found there.
    struct File {
        QByteArray path;
        int descriptor = -1;
    };

    // The program now: the one chosen, or else the one found at the start.
    static File current();
    // Its path (see VectorRenderHost::programPath): a missing one is logged once, with the places
    // looked at.
    static QString currentPath();
    // Starts the program at `path` from now on (see VectorRenderHost::useProgram), its refusal and
    // what was said of it forgotten.
    static void choose(const QString& path);
    // Whether the program now was refused at a greeting: it is not started again until another is
    // chosen, which in the app is at the next start.
    static bool refused();

    // Starts `program` as a template: its standard input and output a socket whose other end is
    // the process's, its error stream /dev/null, with `arguments` after its name. Nothing when it
    // could not be started.
    static std::optional<DrawingProcess> start(const File& program, const QList<QByteArray>& arguments);

    enum class Greeted { Yes, Refused, Silent };
    // Whether a started process greets as a drawing program of this version, as the template when
    // `asTemplate`, otherwise as a drawing process confined as a whole. A program of another
    // version, or a drawing process that is not confined as a whole, is refused as soon as it says
    // so; that is logged once, and the program is not started again. A file system closed by
    // namespaces, Landlock being missing, is logged once too. A process that says nothing (it
    // ended, or the deadline passed) is silent.
    static Greeted greeted(const DrawingProcess& process, const QByteArray& path, bool asTemplate,
                           const QDeadlineTimer& deadline);
    // Says once what is known of a program that ended before it greeted: its own exit status or the
    // signal that ended it (a status of 127 is what the loader gives a program without its
    // libraries).
    static void logEndBeforeGreeting(const QByteArray& path, int status);

    // For tests: see VectorRenderHost::setCloseRangeForTesting.
    static void setCloseRangeForTesting(bool available);
};

} // namespace velmora::images
