#include "platform/net/ContentDecoder.h"

#include <QList>

#include <zlib.h>

#include <array>
#include <utility>

namespace velmora {

namespace {

// The codings of the answer, "identity" left out.
QList<QByteArray> codingsOf(QByteArrayView contentEncoding) {
    QList<QByteArray> codings;
    for (const QByteArray& coding : contentEncoding.toByteArray().split(',')) {
        const QByteArray name = coding.trimmed().toLower();
        if (!name.isEmpty() && name != "identity") {
            codings.append(name);
        }
    }
    return codings;
}

bool isInflated(const QByteArray& coding) {
    return coding == "gzip" || coding == "x-gzip" || coding == "deflate";
}

// The window bits a stream that starts with `a`, `b` is read with: a gzip member, a zlib stream,
// or (where raw deflate may come) raw deflate; 0: none.
int windowBitsOf(unsigned char a, unsigned char b, bool rawMayCome) {
    if (a == 0x1f && b == 0x8b) {
        return 15 + 16;
    }
    if ((a & 0x0f) == Z_DEFLATED && (a >> 4) <= 7 && ((a << 8) | b) % 31 == 0) {
        return 15;
    }
    return rawMayCome ? -15 : 0;
}

} // namespace

struct ContentDecoder::Stream {
    z_stream z{};
    bool open = false;
    // "deflate": the stream may come raw, with no header.
    bool rawMayCome = false;
    // The first byte, held until the second tells what the stream is.
    QByteArray lead;
    int windowBits = 0;
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
    const QList<QByteArray> codings = codingsOf(contentEncoding);
    if (codings.size() != 1 || !isInflated(codings.front())) {
        return nullptr;
    }
    std::unique_ptr<ContentDecoder> decoder(new ContentDecoder());
    decoder->m_stream->rawMayCome = codings.front() == "deflate";
    return decoder;
}

bool ContentDecoder::isReadable(QByteArrayView contentEncoding) {
    const QList<QByteArray> codings = codingsOf(contentEncoding);
    return codings.isEmpty() || (codings.size() == 1 && isInflated(codings.front()));
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
    if (!s.open && size > 0) {
        // What the stream is shows in its first two bytes.
        s.lead.append(data[0]);
        offset = 1;
        if (s.lead.size() < 2 && offset < size) {
            s.lead.append(data[offset++]);
        }
        if (s.lead.size() < 2) {
            return Result::Ok;
        }
        s.windowBits = windowBitsOf(uchar(s.lead[0]), uchar(s.lead[1]), s.rawMayCome);
        if (s.windowBits == 0 || inflateInit2(&s.z, s.windowBits) != Z_OK) {
            s.failed = true;
            return Result::Corrupt;
        }
        s.open = true;
        const QByteArray lead = std::exchange(s.lead, QByteArray());
        const Result result = feed(lead.constData(), lead.size(), sink);
        if (result != Result::Ok) {
            return result;
        }
    }
    while (offset < size) {
        if (s.ended) {
            // Zeros after the end pad the stream; another gzip member may follow, nothing else.
            while (offset < size && data[offset] == 0) {
                ++offset;
            }
            if (offset == size) {
                break;
            }
            if (s.windowBits != 15 + 16) {
                s.failed = true;
                return Result::Corrupt;
            }
            // The stream is whole again only when this member ends too.
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

} // namespace velmora
