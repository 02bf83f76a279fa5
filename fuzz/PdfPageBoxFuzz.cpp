// The page size of a PDF: the media boxes the document declares and its page tree, read from
// its bytes, and the drawing process's answer checked against them.
#include "ImageFuzzSupport.h"

#include "images/coders/PdfVectorImageSource.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    velmora::fuzz::prepareImages();
    const QByteArray input = velmora::fuzz::bytes(data, size);
    (void)velmora::images::PdfVectorImageSource::declaresOnlyEmptyBoxes(input);
    (void)velmora::images::PdfVectorImageSource::pageTreeHasCycle(input);
#ifdef VELMORA_FUZZ_REGRESSION
    // Each page size is a round trip to the drawing process, far slower than the reading above:
    // only the kept inputs go through it, here (the PdfRoad target fuzzes that road).
    (void)velmora::images::PdfVectorImageSource::pageSize(input, 0);
#endif
    return 0;
}
