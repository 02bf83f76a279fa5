// A PDF on the avatar road: the cheap refusals read from its bytes, then its page drawn at
// 60 pixels by the drawing process, within its budget. Also the reading of an answer from that
// process, which is checked against what was asked before a pixel is taken.
#include "ImageFuzzSupport.h"

#include "images/coders/vector-render/VectorRenderProtocol.h"
#include "images/coders/PdfVectorImageSource.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace velmora::images;
    velmora::fuzz::prepareImages();
    const QByteArray input = velmora::fuzz::bytes(data, size);
    if (input.size() >= VectorRenderProtocol::answerHeaderSize) {
        VectorRenderProtocol::Request request;
        request.pixels = QSize(60, 60);
        (void)VectorRenderProtocol::decodeAnswerHeader(input.constData(), request);
        (void)VectorRenderProtocol::decodeAnswerHeader(input.constData(), VectorRenderProtocol::Request{});
    }
    if (const auto source = PdfVectorImageSource::create(input)) {
        (void)source->renderPage(QSize(60, 60));
    }
    return 0;
}
