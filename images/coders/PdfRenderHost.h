#pragma once

#include "images/coders/PdfRenderProtocol.h"

#include <QString>

#include <optional>

namespace velmora::images {

// The asking side of the PDF drawing processes (see PdfRenderProtocol). Each request takes a
// process of its own, an idle one or a new one, so no drawing waits for another (unless as many
// as the machine has cores draw at once: then for one of them to end, within its deadline). A
// process that does not answer by the deadline, or answers nonsense, is killed and the request
// has no answer. Once the library's teardown has begun, a drawing in flight is given up at once and
// its process killed, so quitting never waits for one.
class PdfRenderHost {
public:
    PdfRenderHost() = delete;

    // Nothing when the process failed, ran out of time or the teardown began. The decode attempt
    // on the calling thread (DecodeAttempt) learns whether that was the document's budget or only
    // the want of a drawing, and a drawing under its quick limit is given up at that limit.
    static std::optional<PdfRenderProtocol::Answer> ask(const PdfRenderProtocol::Request& request);

    // The drawing program: beside the application when it is there, else where it was built.
    static QString programPath();
    // Idle processes kept for the next requests.
    static constexpr int maxIdleProcesses = 4;
    // Processes drawing at once.
    static int maxBusyProcesses();
};

} // namespace velmora::images
