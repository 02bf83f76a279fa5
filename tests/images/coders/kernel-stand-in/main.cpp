// The drawing program on a kernel without a part of its confinement: this loads the filter that
// stands in for such a kernel (see KernelStandIn.h), named by the name it is started under (a link
// to it, e.g. "landlock-ENOSYS+userns-EPERM"), then runs the drawing program beside it.
#include "tests/images/support/KernelStandIn.h"

#include <QByteArray>

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

int main(int, char** argv) {
    const char* slash = std::strrchr(argv[0], '/');
    if (!velmora::images::testing::standInForKernel(slash ? slash + 1 : argv[0])) {
        return 126;
    }
    char self[PATH_MAX];
    if (!::realpath("/proc/self/exe", self)) {
        return 126;
    }
    QByteArray program(self);
    program = program.left(program.lastIndexOf('/') + 1) + "velmora-vector-render";
    argv[0] = program.data();
    ::execv(program.constData(), argv);
    return 127;
}
