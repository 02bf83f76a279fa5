// The page size of a PDF: QtPdf's answer checked against the boxes the document declares.
#include "ImageFuzzSupport.h"

#include "images/coders/PdfVectorImageSource.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    velmora::fuzz::prepareImages();
    (void)velmora::images::PdfVectorImageSource::pageSize(velmora::fuzz::bytes(data, size), 0);
    return 0;
}
