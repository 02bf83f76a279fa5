// The page size of a PDF: the media boxes the document declares and its page tree, read from
// its bytes, and QtPdf's answer checked against them.
#include "ImageFuzzSupport.h"

#include "images/coders/PdfVectorImageSource.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    velmora::fuzz::prepareImages();
    const QByteArray input = velmora::fuzz::bytes(data, size);
    (void)velmora::images::PdfVectorImageSource::declaresOnlyEmptyBoxes(input);
    (void)velmora::images::PdfVectorImageSource::pageTreeHasCycle(input);
#ifdef VELMORA_FUZZ_REGRESSION
    // QtPdf keeps some memory for every damaged document it fails to load (see lsan.supp), so a
    // long run through it ends at the memory limit: only the kept inputs go through it, here.
    (void)velmora::images::PdfVectorImageSource::pageSize(input, 0);
#endif
    return 0;
}
