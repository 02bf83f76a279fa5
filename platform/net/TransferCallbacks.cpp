#include "platform/net/TransferCarrier.h"

#include "platform/net/Redirects.h"

#include <linux/tcp.h> // the count of bytes received, which glibc's header leaves out
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace velmora {

void TransferThread::Carrier::noteHeadsBegun() {
    for (const auto& [id, transfer] : m_transfers) {
        if (transfer->receivedBefore && !transfer->headDeadline &&
            bytesReceived(*transfer).value_or(0) > *transfer->receivedBefore) {
            headBegun(*transfer);
        }
    }
}

void TransferThread::Carrier::headBegun(Transfer& transfer) {
    transfer.receivedBefore.reset();
    if (!transfer.headDeadline && !transfer.headDone) {
        transfer.headDeadline =
            SteadyClock::now() + std::min(transfer.order.headTimeout, transfer.order.stallTimeout);
    }
}

std::optional<quint64> TransferThread::Carrier::bytesReceived(const Transfer& transfer) {
    if (transfer.socket == CURL_SOCKET_BAD) {
        return std::nullopt;
    }
    tcp_info info{};
    socklen_t size = sizeof info;
    if (::getsockopt(transfer.socket, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
        size < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received) {
        return std::nullopt;
    }
    return quint64(info.tcpi_bytes_received);
}

void TransferThread::Carrier::onTlsMessage(int written, int version, int type, const void* bytes, size_t length, SSL* ssl, void*) {
    const auto* first = static_cast<const unsigned char*>(bytes);
    // TLS 1.3 hides every record's type (a session ticket comes as "data" too) but tells it
    // apart once decrypted; before 1.3 the record's own type says it.
    const bool data = !written && length >= 1 && first[0] == SSL3_RT_APPLICATION_DATA &&
                      (version >= TLS1_3_VERSION ? type == SSL3_RT_INNER_CONTENT_TYPE : type == SSL3_RT_HEADER);
    if (!data || !current) {
        return;
    }
    for (const auto& [id, transfer] : current->m_transfers) {
        curl_tlssessioninfo* tls = nullptr;
        if (transfer->easy && transfer->requestSent && !transfer->headDeadline && !transfer->headDone &&
            curl_easy_getinfo(transfer->easy, CURLINFO_TLS_SSL_PTR, &tls) == CURLE_OK && tls &&
            tls->internals == ssl) {
            headBegun(*transfer);
        }
    }
}

size_t TransferThread::Carrier::onHeader(char* data, size_t size, size_t count, void* context) {
    using Kind = TransferEnd::Kind;
    auto& transfer = *static_cast<Transfer*>(context);
    const size_t length = size * count;
    const auto now = SteadyClock::now();
    transfer.lastProgress = now;
    if (transfer.endedBy || transfer.again) {
        return 0;
    }
    const ResponseHeadReader::Limits& limits = transfer.order.headLimits;
    if (transfer.headDone) {
        // Trailers after a chunked body: counted against the head's bound, otherwise unread.
        transfer.trailerBytes += qint64(length);
        if (transfer.trailerBytes > limits.maximumBytes) {
            transfer.endedBy = TransferEnd{Kind::TrailersTooLarge, 0, QStringLiteral("the answer's trailers are too long")};
            return 0;
        }
        return length;
    }
    if (!transfer.headDeadline) {
        transfer.headDeadline = now + std::min(transfer.order.headTimeout, transfer.order.stallTimeout);
    }
    switch (transfer.head->addLine(QByteArrayView(data, qsizetype(length)))) {
    case ResponseHeadReader::Step::More:
        return length;
    case ResponseHeadReader::Step::InterimDone:
        // The final answer may take the server's time to come, as any answer may.
        if (!transfer.order.headTimeFromHopStart) {
            transfer.headDeadline.reset();
            transfer.receivedBefore = bytesReceived(transfer);
        }
        return length;
    case ResponseHeadReader::Step::TooLarge:
        transfer.endedBy = TransferEnd{Kind::HeadTooLarge, 0,
                                       QStringLiteral("the answer's head is longer than %1 bytes or %2 lines")
                                           .arg(limits.maximumBytes)
                                           .arg(limits.maximumLines)};
        return 0;
    case ResponseHeadReader::Step::Malformed:
        transfer.endedBy = TransferEnd{Kind::HeadMalformed, 0, QStringLiteral("the answer's head is malformed")};
        return 0;
    case ResponseHeadReader::Step::Done:
        break;
    }
    transfer.headDeadline.reset();
    transfer.receivedBefore.reset();
    return headEnded(transfer) ? length : 0;
}

TransferEnd TransferThread::Carrier::unreadableBody(const QString& why) {
    TransferEnd broken{TransferEnd::Kind::Failed, 0, why};
    broken.cause = TransferEnd::Cause::NotHttp;
    return broken;
}

bool TransferThread::Carrier::takeCoding(Transfer& transfer) {
    // Codings in several lines are one list, applied in turn (and more than one is never read).
    std::optional<QByteArray> codings;
    for (const auto& [name, value] : transfer.head->headers()) {
        if (name.compare("Content-Encoding", Qt::CaseInsensitive) == 0) {
            codings = codings ? *codings + ", " + value : value;
        }
    }
    if (!codings) {
        return true;
    }
    if (!ContentDecoder::isReadable(*codings)) {
        transfer.endedBy = unreadableBody(QStringLiteral("the answer is encoded as %1, which was not asked for")
                                              .arg(QString::fromLatin1(codings->left(64))));
        return false;
    }
    transfer.decoder = ContentDecoder::forEncoding(*codings);
    return true;
}

bool TransferThread::Carrier::headEnded(Transfer& transfer) {
    using Kind = TransferEnd::Kind;
    const qint64 maxBody = std::max<qint64>(transfer.order.maxBodySize, 0);
    const bool bodyRead = transfer.order.method != "HEAD" && transfer.head->status() != 304 &&
                          !isRedirectStatus(transfer.head->status());
    // libcurl reads "chunked" alone; any other transfer coding ("identity" among them) it
    // would read to the connection's close, which may never come.
    std::optional<QByteArray> transferCodings;
    for (const auto& [name, value] : transfer.head->headers()) {
        if (name.compare("Transfer-Encoding", Qt::CaseInsensitive) == 0) {
            transferCodings = transferCodings ? *transferCodings + ", " + value.trimmed() : value.trimmed();
        }
    }
    if (bodyRead && transferCodings && transferCodings->toLower() != "chunked") {
        transfer.endedBy = TransferEnd{Kind::HeadMalformed, 0,
                                       QStringLiteral("the answer's transfer coding (%1) is not read here")
                                           .arg(QString::fromLatin1(transferCodings->left(64)))};
        return false;
    }
    for (const auto& [name, value] : transfer.head->headers()) {
        if (name.compare("Content-Length", Qt::CaseInsensitive) != 0 || !bodyRead) {
            continue;
        }
        bool ok = false;
        const qint64 announced = value.trimmed().toLongLong(&ok);
        if (!ok) {
            transfer.endedBy = TransferEnd{Kind::HeadMalformed, 0, QStringLiteral("the answer's length is no number")};
            return false;
        }
        if (announced > maxBody) {
            transfer.endedBy = TransferEnd{Kind::BodyTooLarge, 0, QStringLiteral("more than %1 bytes").arg(maxBody)};
            return false;
        }
    }
    switch (transfer.reader->head(*transfer.head, transfer.order)) {
    case TransferReader::Verdict::Take:
        transfer.headDone = true;
        return transfer.order.inflated ? takeCoding(transfer) : true;
    case TransferReader::Verdict::Again:
        transfer.again = true;
        return false;
    case TransferReader::Verdict::End:
        transfer.endedBy = TransferEnd{Kind::EndedByReader, 0, QString()};
        return false;
    }
    return false;
}

size_t TransferThread::Carrier::onBody(char* data, size_t size, size_t count, void* context) {
    using Kind = TransferEnd::Kind;
    auto& transfer = *static_cast<Transfer*>(context);
    const size_t length = size * count;
    transfer.lastProgress = SteadyClock::now();
    if (transfer.endedBy || !transfer.headDone) {
        return 0;
    }
    const qint64 maxBody = std::max<qint64>(transfer.order.maxBodySize, 0);
    // Ended where its bytes arrive, as they came and as inflated: nothing past the bound is
    // kept or waits.
    const auto handOn = [&transfer, maxBody](const char* bytes, qsizetype size) {
        if (transfer.bodyRead + size > maxBody) {
            transfer.endedBy =
                TransferEnd{Kind::BodyTooLarge, 0, QStringLiteral("more than %1 bytes").arg(maxBody)};
            return false;
        }
        transfer.bodyRead += size;
        if (!transfer.reader->body(bytes, size)) {
            transfer.endedBy = TransferEnd{Kind::EndedByReader, 0, QString()};
            return false;
        }
        return true;
    };
    transfer.bodyArrived += qint64(length);
    if (!transfer.decoder) {
        return handOn(data, qsizetype(length)) ? length : 0;
    }
    if (transfer.bodyArrived > maxBody) {
        transfer.endedBy = TransferEnd{Kind::BodyTooLarge, 0, QStringLiteral("more than %1 bytes").arg(maxBody)};
        return 0;
    }
    if (transfer.decoder->feed(data, qsizetype(length), handOn) == ContentDecoder::Result::Corrupt &&
        !transfer.endedBy) {
        transfer.endedBy = unreadableBody(QStringLiteral("the compressed answer does not inflate"));
    }
    return transfer.endedBy ? 0 : length;
}

size_t TransferThread::Carrier::onRead(char* buffer, size_t size, size_t count, void* context) {
    auto& transfer = *static_cast<Transfer*>(context);
    transfer.lastProgress = SteadyClock::now();
    const QByteArray& body = *transfer.order.body;
    const qint64 n = std::min<qint64>(qint64(size * count), body.size() - transfer.bodyOffset);
    if (n <= 0) {
        return 0;
    }
    std::memcpy(buffer, body.constData() + transfer.bodyOffset, size_t(n));
    transfer.bodyOffset += n;
    return size_t(n);
}

int TransferThread::Carrier::onSeek(void* context, curl_off_t offset, int origin) {
    auto& transfer = *static_cast<Transfer*>(context);
    if (sentOnce(transfer.order)) {
        // libcurl seeks back to send the body again on a new connection, after the one it
        // went out on closed without an answer: the server may have taken it.
        return CURL_SEEKFUNC_CANTSEEK;
    }
    if (origin != SEEK_SET || offset < 0 || offset > transfer.order.body->size()) {
        return CURL_SEEKFUNC_FAIL;
    }
    transfer.bodyOffset = qint64(offset);
    return CURL_SEEKFUNC_OK;
}

} // namespace velmora
