// The drawing program on a kernel without a part of its confinement: this loads the filter that
// stands in for such a kernel (see KernelStandIn.h), named by the name it is started under (a link
// to it, e.g. "landlock-ENOSYS+userns-EPERM"), then runs the drawing program beside it. A name with
// "@move" after the kernel's runs the program's build for the tests instead, under the move's name
// (see hostile-drawing/HostileMoves.h), e.g. "landlock-ENOSYS@read-swapped".
#include "tests/images/support/KernelStandIn.h"

#include <QByteArray>

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

int main(int, char** argv) {
    const char* slash = std::strrchr(argv[0], '/');
    const QByteArray name = slash ? slash + 1 : argv[0];
    const qsizetype at = name.indexOf('@');
    if (!velmora::images::testing::standInForKernel(at < 0 ? name : name.left(at))) {
        return 126;
    }
    char self[PATH_MAX];
    if (!::realpath("/proc/self/exe", self)) {
        return 126;
    }
    QByteArray folder(self);
    folder = folder.left(folder.lastIndexOf('/') + 1);
    const QByteArray program = folder + (at < 0 ? QByteArray("velmora-vector-render")
                                                : QByteArray("velmora_hostile_drawing_program"));
    // The move is read from the name the program is started under.
    QByteArray started = at < 0 ? program : folder + name.mid(at + 1);
    argv[0] = started.data();
    ::execv(program.constData(), argv);
    return 127;
}
