// The reading of a vector document's drawing cost: PDF streams inflated and tokenised (an SVG
// document's elements are counted by its filter, fuzzed on its own).
#include "ImageFuzzSupport.h"

#include "images/coders/VectorDrawingCost.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    velmora::fuzz::prepareImages();
    const QByteArray input = velmora::fuzz::bytes(data, size);
    (void)velmora::images::VectorDrawingCost::measurePdf(input);
    (void)velmora::images::VectorDrawingCost::pdfWithinBound(input);
    return 0;
}
