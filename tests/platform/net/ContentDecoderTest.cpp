#include "platform/net/ContentDecoder.h"

#include "tests/support/PackedBodies.h"

#include <gtest/gtest.h>


using namespace velmora;
using test::packed;

namespace {


struct Decoded {
    ContentDecoder::Result result = ContentDecoder::Result::Ok;
    QByteArray bytes;
    bool complete = false;
};

// Feeds `stream` in pieces of `piece` bytes (1: byte by byte, as a slow server sends).
Decoded decode(const QByteArray& coding, const QByteArray& stream, qsizetype piece) {
    Decoded decoded;
    auto decoder = ContentDecoder::forEncoding(coding);
    if (!decoder) {
        decoded.result = ContentDecoder::Result::Corrupt;
        return decoded;
    }
    for (qsizetype at = 0; at < stream.size() && decoded.result == ContentDecoder::Result::Ok; at += piece) {
        decoded.result = decoder->feed(stream.constData() + at, std::min(piece, stream.size() - at),
                                       [&](const char* data, qsizetype size) {
                                           decoded.bytes.append(data, size);
                                           return true;
                                       });
    }
    decoded.complete = decoder->isComplete();
    return decoded;
}

} // namespace

// Whatever the pieces the bytes come in, each form reads whole: "deflate" as a zlib stream or
// raw, gzip as one member or two, with zeros after its end or not.
TEST(ContentDecoder, ReadsEachFormItAskedForInPiecesOfAnySize) {
    const QByteArray body = QByteArray("{\"values\":[") + QByteArray(3000, 'x') + "]}";
    const QByteArray gzip = packed(body, 15 + 16);
    struct Form {
        const char* name;
        QByteArray coding;
        QByteArray stream;
        QByteArray expected;
    };
    const Form forms[] = {
        {"raw deflate", "deflate", packed(body, -15), body},
        {"zlib", "deflate", packed(body, 15), body},
        {"gzip", "gzip", gzip, body},
        {"gzip, padded", "x-gzip", gzip + QByteArray(100, '\0'), body},
        {"two members", "gzip", gzip + gzip, body + body},
        {"two members, padded", "gzip", gzip + QByteArray(3, '\0') + gzip + QByteArray(1, '\0'), body + body},
    };
    for (const Form& form : forms) {
        for (const qsizetype piece : {qsizetype(1), qsizetype(7), form.stream.size()}) {
            SCOPED_TRACE(std::string(form.name) + ", pieces of " + std::to_string(piece));
            const Decoded decoded = decode(form.coding, form.stream, piece);
            EXPECT_EQ(decoded.result, ContentDecoder::Result::Ok);
            EXPECT_TRUE(decoded.complete);
            EXPECT_EQ(decoded.bytes, form.expected);
        }
    }
}

// What is not a stream of the coding named, or has something other than padding after its end,
// or stops before its end, is not whole.
TEST(ContentDecoder, AStreamThatIsNotWholeIsNeverComplete) {
    const QByteArray body(2000, 'y');
    const QByteArray gzip = packed(body, 15 + 16);
    EXPECT_EQ(decode("gzip", packed(body, -15), 64).result, ContentDecoder::Result::Corrupt)
        << "raw deflate named gzip";
    EXPECT_EQ(decode("deflate", packed(body, 15) + "junk", 64).result, ContentDecoder::Result::Corrupt);
    EXPECT_EQ(decode("gzip", gzip + "junk", 64).result, ContentDecoder::Result::Corrupt);
    const Decoded cut = decode("gzip", gzip.left(gzip.size() - 4), 64);
    EXPECT_EQ(cut.result, ContentDecoder::Result::Ok);
    EXPECT_FALSE(cut.complete);
    EXPECT_FALSE(decode("gzip", QByteArray(1, '\x1f'), 1).complete);
}

TEST(ContentDecoder, OnlyCodingsAskedForAreRead) {
    for (const char* readable : {"", "identity", "gzip", "x-gzip", "deflate", " GZip ", "identity, gzip"}) {
        EXPECT_TRUE(ContentDecoder::isReadable(readable)) << readable;
    }
    for (const char* refused : {"br", "zstd", "compress", "gzip, br", "gzip, gzip", "deflate, gzip"}) {
        EXPECT_FALSE(ContentDecoder::isReadable(refused)) << refused;
        EXPECT_FALSE(ContentDecoder::forEncoding(refused)) << refused;
    }
    EXPECT_EQ(ContentDecoder::acceptedEncodings(), "gzip, deflate");
}
