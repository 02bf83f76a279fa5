#pragma once

#include "FuzzSupport.h"

#include "images/core/Image.h"

#include <QCoreApplication>

namespace velmora::fuzz {

// A Qt application for the readers that look for plugins, and a pixel budget small enough
// that the largest image the readers accept stays well inside the fuzzer's memory limit and,
// under the sanitizers, its time limit: what is sought are faults in the readers, not the
// time a large valid image takes.
inline void prepareImages() {
    static const bool ready = [] {
        static int argc = 1;
        static char name[] = "fuzz";
        static char* argv[] = {name, nullptr};
        static QCoreApplication application(argc, argv);
        // Every damaged input makes Qt's readers warn; the fuzzer's own output is what counts.
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
        images::setPixelBudget(1024u * 1024u);
        return true;
    }();
    (void)ready;
}

} // namespace velmora::fuzz
