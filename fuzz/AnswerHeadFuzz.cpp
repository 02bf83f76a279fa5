// An avatar answer's head read line by line within its bounds, and its body inflated in slices
// that stop at a bound: whatever the bytes, neither passes its bound nor reads past its input.
#include "FuzzSupport.h"

#include "platform/net/ContentDecoder.h"
#include "platform/net/ResponseHeadReader.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using velmora::ContentDecoder;
    using velmora::ResponseHeadReader;
    const QByteArray input = velmora::fuzz::bytes(data, size);

    ResponseHeadReader::Limits limits;
    limits.maximumBytes = 4096;
    limits.maximumLines = 40;
    ResponseHeadReader reader(limits);
    qsizetype start = 0;
    while (start < input.size()) {
        qsizetype end = input.indexOf('\n', start);
        end = end < 0 ? input.size() : end + 1;
        const auto step = reader.addLine(QByteArrayView(input).sliced(start, end - start));
        start = end;
        if (step == ResponseHeadReader::Step::Done || step == ResponseHeadReader::Step::TooLarge ||
            step == ResponseHeadReader::Step::Malformed) {
            break;
        }
    }
    if (reader.bytesRead() > limits.maximumBytes + input.size() ||
        int(reader.headers().size()) > limits.maximumLines ||
        (reader.status() != 0 && (reader.status() < 100 || reader.status() > 999))) {
        std::abort();
    }

    // The rest as a gzip or zlib body, fed in uneven pieces, stopped past 256 KiB.
    for (const char* encoding : {"gzip", "deflate"}) {
        auto decoder = ContentDecoder::forEncoding(encoding);
        qint64 handed = 0;
        qsizetype offset = start;
        qsizetype piece = 1;
        while (offset < input.size()) {
            const qsizetype take = std::min(piece, input.size() - offset);
            const auto result =
                decoder->feed(input.constData() + offset, take, [&](const char*, qsizetype slice) {
                    if (slice <= 0 || slice > ContentDecoder::sliceBytes) {
                        std::abort();
                    }
                    handed += slice;
                    return handed < 256 * 1024;
                });
            offset += take;
            piece = piece * 3 + 1;
            if (result != ContentDecoder::Result::Ok) {
                break;
            }
        }
        if (handed > 256 * 1024 + ContentDecoder::sliceBytes) {
            std::abort();
        }
    }
    return 0;
}
