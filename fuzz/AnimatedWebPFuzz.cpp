// The animated WebP source: the demuxer walk and the frames decoded on the canvas.
#include "ImageFuzzSupport.h"

#include "images/coders/WebPSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    velmora::fuzz::prepareImages();
    if (const auto source = velmora::images::WebPFrameSource::create(velmora::fuzz::bytes(data, size))) {
        const int frames = std::min(source->frameCount(), 4);
        for (int i = 0; i < frames; ++i) {
            (void)source->frameDelay(i);
            (void)source->frameAt(i);
        }
        if (frames > 1) {
            (void)source->frameAt(0);
        }
        // The first frame alone, drawn onto a small canvas.
        const QSize canvas = source->canvasSize();
        (void)source->firstFrameScaledTo(QSize(std::min(canvas.width(), 7), std::min(canvas.height(), 5)));
    }
    return 0;
}
