// The APNG chunk walk and the composition of its frames on the canvas.
#include "ImageFuzzSupport.h"

#include "images/coders/ApngFrameSource.h"
#include "images/coders/ApngSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    velmora::fuzz::prepareImages();
    const QByteArray input = velmora::fuzz::bytes(data, size);
    (void)velmora::images::ApngSupport::isAnimated(input);
    if (const auto source = velmora::images::ApngFrameSource::create(input)) {
        const int frames = std::min(source->frameCount(), 4);
        for (int i = 0; i < frames; ++i) {
            (void)source->frameDelay(i);
            (void)source->frameAt(i);
        }
        if (frames > 1) {
            (void)source->frameAt(0); // composition starts over
        }
        // The first frame alone, drawn onto a small canvas.
        const QSize canvas = source->canvasSize();
        (void)source->firstFrameScaledTo(QSize(std::min(canvas.width(), 7), std::min(canvas.height(), 5)));
    }
    return 0;
}
