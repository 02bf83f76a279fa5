#pragma once

#include "platform/net/HttpHeaders.h"

#include <QByteArray>
#include <QByteArrayView>

namespace velmora {

// Reads the head of an HTTP answer line by line, as the transport hands the lines over, within
// bounds of bytes and lines counted over every head of the exchange: interim answers (1xx) are
// read, counted and skipped, and the final answer's head is what is left.
class ResponseHeadReader {
public:
    struct Limits {
        qint64 maximumBytes = 64 * 1024;
        int maximumLines = 100;
    };
    enum class Step {
        More,        // the head goes on
        InterimDone, // an interim answer (1xx) ended: the final one follows
        Done,        // the final answer's head ended
        TooLarge,    // past the bounds
        Malformed,   // no status line where one must be, or two lengths that differ
    };

    explicit ResponseHeadReader(Limits limits) : m_limits(limits) {}

    // One line, with or without its line end. After Done, TooLarge or Malformed nothing more is read.
    Step addLine(QByteArrayView line);

    int status() const { return m_status; }
    // "HTTP/1.1", "HTTP/2"...
    const QByteArray& version() const { return m_version; }
    const HttpHeaders& headers() const { return m_headers; }
    qint64 bytesRead() const { return m_bytes; }

private:
    bool hasOneLength() const;

    Limits m_limits;
    qint64 m_bytes = 0;
    int m_lines = 0;
    bool m_inHead = false;
    bool m_finished = false;
    int m_status = 0;
    QByteArray m_version;
    HttpHeaders m_headers;
};

} // namespace velmora
