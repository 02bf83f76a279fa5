#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <functional>
#include <memory>

namespace velmora {

// Undoes an answer's Content-Encoding (gzip, deflate) as its bytes arrive, handing the decoded
// bytes on in slices of at most `sliceBytes`, so a small stream that inflates to gigabytes is
// stopped by whoever takes the slices, not by memory. A stream is whole only when it reached its
// own end: a transfer that stops before it is a broken answer, whatever the connection said.
// "deflate" is read as a zlib stream or, as many servers send it, raw; a gzip stream may be
// several members, and zeros after its end (padding) are passed over.
class ContentDecoder {
public:
    // Takes a slice of decoded bytes; false stops the decoding (the taker wants no more).
    using Sink = std::function<bool(const char* data, qsizetype size)>;

    // A decoder for the answer's Content-Encoding, or none where the body is taken as it comes
    // (no encoding, "identity") or is not read at all (see isReadable).
    static std::unique_ptr<ContentDecoder> forEncoding(QByteArrayView contentEncoding);
    // Whether an answer of this Content-Encoding can be read: none, "identity", or one coding
    // asked for. Brotli and zstd never are: their frames may ask for windows of many megabytes,
    // which a hostile answer would have allocated for it.
    static bool isReadable(QByteArrayView contentEncoding);
    // The encodings asked for, as an Accept-Encoding value.
    static QByteArray acceptedEncodings();

    ~ContentDecoder();
    ContentDecoder(const ContentDecoder&) = delete;
    ContentDecoder& operator=(const ContentDecoder&) = delete;

    enum class Result { Ok, Stopped, Corrupt };
    // Decodes `size` more bytes of the stream. After Corrupt or Stopped nothing more is decoded.
    Result feed(const char* data, qsizetype size, const Sink& sink);
    // Whether the stream reached its end with nothing broken after it.
    bool isComplete() const;

    static constexpr qsizetype sliceBytes = 64 * 1024;

private:
    ContentDecoder();
    struct Stream;
    std::unique_ptr<Stream> m_stream;
};

} // namespace velmora
