// The decoder that shows the rows of a PNG received so far.
#include "ImageFuzzSupport.h"

#include "images/coders/PartialPngDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    velmora::fuzz::prepareImages();
    (void)velmora::images::PartialPngDecoder::decode(velmora::fuzz::bytes(data, size));
    return 0;
}
