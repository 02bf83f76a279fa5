// The checks made on a still image's bytes before Qt's plugins read them: the JPEG marker walk
// that counts and cuts scans, and the inflation of a PNG's data against its declared rows.
#include "ImageFuzzSupport.h"

#include "images/coders/DecodeCostGuard.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    velmora::fuzz::prepareImages();
    const QByteArray input = velmora::fuzz::bytes(data, size);
    const QByteArray limited = velmora::images::DecodeCostGuard::withinJpegScanLimit(input);
    (void)velmora::images::DecodeCostGuard::jpegScanCount(limited, 1000);
    (void)velmora::images::DecodeCostGuard::pngInflatesBeyondItsRows(input);
    return 0;
}
