#pragma once

#include "FuzzSupport.h"

#include "images/core/Image.h"

#include <QCoreApplication>

namespace velmora::fuzz {

// A Qt application for the readers that look for plugins, and a pixel budget small enough
// that the largest image the readers accept stays well inside the fuzzer's memory limit.
inline void prepareImages() {
    static const bool ready = [] {
        static int argc = 1;
        static char name[] = "fuzz";
        static char* argv[] = {name, nullptr};
        static QCoreApplication application(argc, argv);
        images::setPixelBudget(4u * 1024u * 1024u);
        return true;
    }();
    (void)ready;
}

} // namespace velmora::fuzz
