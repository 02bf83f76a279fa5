// What the registry reads before it picks a coder: the sniffed format and every default
// coder's claim, plus the SVG coder's.
#include "ImageFuzzSupport.h"

#include "images/coders/ImageCodersManager.h"
#include "images/core/ImageFormat.h"
#include "images/coders/ImageSVGCoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    velmora::fuzz::prepareImages();
    const QByteArray input = velmora::fuzz::bytes(data, size);
    (void)velmora::images::imageFormatForImageData(input);
    for (const auto& coder : velmora::images::ImageCodersManager::defaultCoders()) {
        (void)coder->canDecodeFromData(input);
    }
    (void)velmora::images::ImageSVGCoder::sharedCoder()->canDecodeFromData(input);
    return 0;
}
