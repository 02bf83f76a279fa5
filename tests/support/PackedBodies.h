#pragma once

#include <QByteArray>

#include <zlib.h>

namespace velmora::test {

// `body` as one stream of zlib's making: `windowBits` 15 + 16 a gzip member, 15 a zlib stream,
// -15 raw deflate (what many servers send as "deflate").
inline QByteArray packed(const QByteArray& body, int windowBits) {
    z_stream stream{};
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(qsizetype(deflateBound(&stream, uLong(body.size()))) + 64, Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.constData()));
    stream.avail_in = uInt(body.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = uInt(out.size());
    deflate(&stream, Z_FINISH);
    out.truncate(qsizetype(stream.total_out));
    deflateEnd(&stream);
    return out;
}

} // namespace velmora::test
