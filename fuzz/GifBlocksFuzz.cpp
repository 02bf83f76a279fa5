// The GIF block walk (frame count, delays, loop count), the frames it lets Qt decode, and the
// first frame decoded row by row into a small picture.
#include "ImageFuzzSupport.h"

#include "images/coders/GifFrameSource.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    velmora::fuzz::prepareImages();
    const QByteArray input = velmora::fuzz::bytes(data, size);
    (void)velmora::images::GifFrameSource::parse(input);
    if (const auto source = velmora::images::GifFrameSource::create(input)) {
        for (int i = 0; i < std::min(source->frameCount(), 4); ++i) {
            (void)source->frameDelay(i);
            (void)source->frameAt(i);
        }
        (void)source->frameAt(0); // back to the start
        // The first frame brought down without composing the screen.
        const QSize canvas = source->canvasSize();
        (void)source->firstFrameScaledTo(QSize(std::min(canvas.width(), 7), std::min(canvas.height(), 5)));
    }
    return 0;
}
