#include "images/download/ContentDecoder.h"

#include <zlib.h>

#include <array>

namespace velmora::images {

struct ContentDecoder::Stream {
    z_stream z{};
    bool open = false;
    // The current member ended (Z_STREAM_END) and no byte of another one came since.
    bool ended = false;
    bool failed = false;
    std::array<char, ContentDecoder::sliceBytes> out{};

    ~Stream() {
        if (open) {
            inflateEnd(&z);
        }
    }
};

ContentDecoder::ContentDecoder() : m_stream(std::make_unique<Stream>()) {}

ContentDecoder::~ContentDecoder() = default;

std::unique_ptr<ContentDecoder> ContentDecoder::forEncoding(QByteArrayView contentEncoding) {
    const QByteArray encoding = contentEncoding.toByteArray().trimmed().toLower();
    if (encoding != "gzip" && encoding != "x-gzip" && encoding != "deflate") {
        return nullptr;
    }
    std::unique_ptr<ContentDecoder> decoder(new ContentDecoder());
    // 15 + 32: a gzip or a zlib header, whichever the stream starts with.
    if (inflateInit2(&decoder->m_stream->z, 15 + 32) != Z_OK) {
        return nullptr;
    }
    decoder->m_stream->open = true;
    return decoder;
}

QByteArray ContentDecoder::acceptedEncodings() {
    return "gzip, deflate";
}

ContentDecoder::Result ContentDecoder::feed(const char* data, qsizetype size, const Sink& sink) {
    Stream& s = *m_stream;
    if (s.failed) {
        return Result::Corrupt;
    }
    qsizetype offset = 0;
    while (offset < size) {
        if (s.ended) {
            // Another gzip member follows the one that ended: the stream is whole again only
            // when that one ends too.
            inflateReset(&s.z);
            s.ended = false;
        }
        const qsizetype piece = std::min<qsizetype>(size - offset, 1 << 30);
        s.z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data + offset));
        s.z.avail_in = uInt(piece);
        while (true) {
            s.z.next_out = reinterpret_cast<Bytef*>(s.out.data());
            s.z.avail_out = uInt(s.out.size());
            const int status = inflate(&s.z, Z_NO_FLUSH);
            const qsizetype produced = qsizetype(s.out.size()) - qsizetype(s.z.avail_out);
            if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
                s.failed = true;
                return Result::Corrupt;
            }
            if (produced > 0 && !sink(s.out.data(), produced)) {
                s.failed = true;
                return Result::Stopped;
            }
            if (status == Z_STREAM_END) {
                s.ended = true;
                break;
            }
            // Out of input (or of progress with room to spare): the next bytes are needed.
            if (s.z.avail_in == 0 && s.z.avail_out != 0) {
                break;
            }
            if (status == Z_BUF_ERROR && s.z.avail_out != 0) {
                break;
            }
        }
        offset += piece - qsizetype(s.z.avail_in);
        if (s.z.avail_in == uInt(piece) && !s.ended) {
            // Nothing was taken and the stream did not end: no progress can be made.
            s.failed = true;
            return Result::Corrupt;
        }
    }
    return Result::Ok;
}

bool ContentDecoder::isComplete() const {
    return !m_stream->failed && m_stream->ended;
}

} // namespace velmora::images
