#include "platform/net/TransferCarrier.h"

#include <poll.h>

#include <algorithm>

// A write goes on a connection of its own, never a kept one (a stray answer may wait there).
// Where the app knows a write is coming, that connection is opened ahead, TLS and all, so the
// write costs no round trip more than on a kept connection. libcurl hands a connection it made
// for nothing but connecting (CONNECT_ONLY) to no later transfer, so the write's request and
// answer pass here, over libcurl's send and receive on that connection, read by the same
// callbacks and held to the same bounds as every other answer.

namespace velmora {

namespace {

// "Name: value" lines as libcurl takes them: "Name:" keeps a header of libcurl's own from going
// out (there is none here), "Name;" sends it empty.
QByteArray headerBlock(const TransferOrder& order) {
    QByteArray block;
    bool hasLength = false;
    for (const QByteArray& line : order.headerLines) {
        if (line.endsWith(':')) {
            continue;
        }
        const QByteArray sent = line.endsWith(';') ? line.chopped(1) + ": " : line;
        hasLength = hasLength || sent.toLower().startsWith("content-length:");
        block += sent + "\r\n";
    }
    if (order.credential) {
        block += "Authorization: Basic " +
                 (order.credential->first + ':' + order.credential->second).toBase64() + "\r\n";
    }
    if (order.body && !hasLength) {
        block += "Content-Length: " + QByteArray::number(order.body->size()) + "\r\n";
    }
    return block;
}

std::optional<QByteArray> headerOf(const ResponseHeadReader& head, const char* name) {
    for (const auto& [each, value] : head.headers()) {
        if (each.compare(name, Qt::CaseInsensitive) == 0) {
            return value;
        }
    }
    return std::nullopt;
}

QByteArray requestOf(const TransferOrder& order) {
    QByteArray target = order.url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment);
    if (target.isEmpty()) {
        target = "/";
    }
    const bool defaultPort = order.url.port() < 0 ||
                             order.url.port() == (order.url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 ? 443 : 80);
    QByteArray host = order.url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveUserInfo | QUrl::RemovePath |
                                          QUrl::RemoveQuery | QUrl::RemoveFragment | QUrl::RemovePort)
                          .mid(2);
    if (!defaultPort) {
        host += ':' + QByteArray::number(order.url.port());
    }
    return order.method + ' ' + target + " HTTP/1.1\r\nHost: " + host + "\r\n" + headerBlock(order) + "\r\n" +
           order.body.value_or(QByteArray());
}

} // namespace

QString TransferThread::Carrier::aheadKey(const Transfer& transfer) const {
    const TransferOrder& order = transfer.order;
    return hostOf(order.url) + QLatin1Char(' ') +
           QString::fromLatin1(order.authorities ? order.authorities->tag() : QByteArray()) + QLatin1Char(' ') +
           QString::number(quintptr(order.connections.get()));
}

void TransferThread::Carrier::aheadConnected(Transfer& transfer, CURLcode result) {
    curl_socket_t socket = CURL_SOCKET_BAD;
    if (result != CURLE_OK || curl_easy_getinfo(transfer.easy, CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK ||
        socket == CURL_SOCKET_BAD) {
        end(transfer.id, {TransferEnd::Kind::Cancelled, 0, QString()}, false);
        return;
    }
    // Kept no longer than its caller's idle age: the server said nothing on it yet about how long
    // it keeps it, and may close it any time after.
    const auto now = SteadyClock::now();
    transfer.aheadReady = true;
    transfer.socket = socket;
    transfer.lastProgress = now;
    transfer.resourceDeadline = now + transfer.order.connections->idleAge;
}

bool TransferThread::Carrier::takeAhead(Transfer& transfer) {
    const QString key = aheadKey(transfer);
    if (transfer.ahead) {
        const bool wanted = transfer.order.proxy.isEmpty() &&
                            std::none_of(m_transfers.begin(), m_transfers.end(), [&](const auto& entry) {
                                return entry.second.get() != &transfer && entry.second->ahead && aheadKey(*entry.second) == key;
                            });
        if (!wanted) {
            end(transfer.id, {TransferEnd::Kind::Cancelled, 0, QString()}, false);
        }
        return !wanted;
    }
    if (!transfer.order.proxy.isEmpty() || !sentOnce(transfer.order)) {
        return false;
    }
    const auto found = std::find_if(m_transfers.begin(), m_transfers.end(), [&](const auto& entry) {
        return entry.second->ahead && entry.second->aheadReady && aheadKey(*entry.second) == key;
    });
    if (found == m_transfers.end()) {
        return false;
    }
    auto node = m_transfers.extract(found);
    Transfer& ahead = *node.mapped();
    CURL* easy = std::exchange(ahead.easy, nullptr);
    const curl_socket_t socket = ahead.socket;
    dropHop(ahead);
    // What came on it since: a TLS server's session tickets are taken in (read through the TLS
    // library, they give no data); bytes nobody asked for, or the server's end, and the write
    // goes on a new connection.
    char stray = 0;
    size_t got = 0;
    if (curl_easy_recv(easy, &stray, 1, &got) != CURLE_AGAIN) {
        curl_multi_remove_handle(m_multi, easy);
        curl_easy_cleanup(easy);
        return false;
    }
    // Every pointer the handle keeps into the transfer that opened it, now gone, is this one's.
    curl_easy_setopt(easy, CURLOPT_PRIVATE, &transfer);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.curlError.data());
    for (const CURLoption data : {CURLOPT_HEADERDATA, CURLOPT_WRITEDATA, CURLOPT_OPENSOCKETDATA, CURLOPT_PREREQDATA,
                                  CURLOPT_SSL_CTX_DATA, CURLOPT_READDATA, CURLOPT_SEEKDATA}) {
        curl_easy_setopt(easy, data, &transfer);
    }
    curl_easy_setopt(easy, CURLOPT_SOCKOPTDATA, &transfer.reuse);
    transfer.easy = easy;
    transfer.socket = socket;
    transfer.direct = std::make_unique<DirectExchange>();
    transfer.direct->out = requestOf(transfer.order);
    transfer.requestSent = true;
    pumpDirect(transfer);
    return true;
}

void TransferThread::Carrier::pumpDirectTransfers() {
    std::vector<quint64> ids;
    for (const auto& [id, transfer] : m_transfers) {
        if (transfer->direct) {
            ids.push_back(id);
        }
    }
    for (const quint64 id : ids) {
        if (const auto it = m_transfers.find(id); it != m_transfers.end()) {
            pumpDirect(*it->second);
        }
    }
}

std::vector<curl_waitfd> TransferThread::Carrier::directSockets() const {
    std::vector<curl_waitfd> sockets;
    for (const auto& [id, transfer] : m_transfers) {
        if (const DirectExchange* direct = transfer->direct.get()) {
            const bool sending = direct->sent < direct->out.size();
            sockets.push_back({transfer->socket, short(CURL_WAIT_POLLIN | (sending ? CURL_WAIT_POLLOUT : 0)), 0});
        }
    }
    return sockets;
}

void TransferThread::Carrier::pumpDirect(Transfer& transfer) {
    DirectExchange& direct = *transfer.direct;
    while (direct.sent < direct.out.size()) {
        size_t sent = 0;
        const CURLcode code =
            curl_easy_send(transfer.easy, direct.out.constData() + direct.sent, size_t(direct.out.size() - direct.sent), &sent);
        if (code == CURLE_AGAIN) {
            break;
        }
        if (code != CURLE_OK) {
            directEnded(transfer, CURLE_SEND_ERROR);
            return;
        }
        direct.sent += qsizetype(sent);
        transfer.lastProgress = SteadyClock::now();
    }
    char buffer[16384];
    for (;;) {
        size_t got = 0;
        const CURLcode code = curl_easy_recv(transfer.easy, buffer, sizeof buffer, &got);
        if (code == CURLE_AGAIN) {
            return;
        }
        if (code != CURLE_OK) {
            directEnded(transfer, direct.received ? CURLE_RECV_ERROR : CURLE_GOT_NOTHING);
            return;
        }
        if (got == 0) {
            // The server's end: the whole answer only where the end frames the body.
            const bool whole = transfer.headDone && direct.body == DirectExchange::Body::ToClose;
            directEnded(transfer, whole ? CURLE_OK : direct.received ? CURLE_PARTIAL_FILE : CURLE_GOT_NOTHING);
            return;
        }
        direct.received = true;
        transfer.lastProgress = SteadyClock::now();
        if (!transfer.headDone) {
            headBegun(transfer);
        }
        direct.in.append(buffer, qsizetype(got));
        if (!readDirect(transfer)) {
            return;
        }
    }
}

// Takes what came: the head line by line, then the body as framed. False once the hop ended.
bool TransferThread::Carrier::readDirect(Transfer& transfer) {
    using Body = DirectExchange::Body;
    using Chunk = DirectExchange::Chunk;
    DirectExchange& direct = *transfer.direct;
    const auto line = [&direct]() -> std::optional<QByteArray> {
        const qsizetype end = direct.in.indexOf('\n');
        if (end < 0) {
            return std::nullopt;
        }
        QByteArray taken = direct.in.left(end + 1);
        direct.in.remove(0, end + 1);
        return taken;
    };
    const auto header = [&](QByteArray& text) { return onHeader(text.data(), 1, size_t(text.size()), &transfer) != 0; };
    const auto body = [&](qsizetype size) {
        QByteArray taken = direct.in.left(size);
        direct.in.remove(0, size);
        return onBody(taken.data(), 1, size_t(taken.size()), &transfer) == size_t(taken.size());
    };
    for (;;) {
        if (!transfer.headDone) {
            auto next = line();
            if (!next) {
                if (direct.in.size() > transfer.order.headLimits.maximumBytes) {
                    transfer.endedBy = TransferEnd{TransferEnd::Kind::HeadTooLarge, 0, QStringLiteral("the answer's head is too long")};
                    directEnded(transfer, CURLE_WRITE_ERROR);
                    return false;
                }
                return true;
            }
            if (!header(*next)) {
                directEnded(transfer, CURLE_WRITE_ERROR);
                return false;
            }
            if (transfer.headDone) {
                const int status = transfer.head->status();
                const auto length = headerOf(*transfer.head, "Content-Length");
                if (transfer.order.method == "HEAD" || status == 204 || status == 304) {
                    direct.body = Body::None;
                } else if (headerOf(*transfer.head, "Transfer-Encoding")) {
                    direct.body = Body::Chunked; // anything but chunked was refused with the head
                } else if (length) {
                    direct.body = Body::Length;
                    direct.left = length->trimmed().toLongLong();
                } else {
                    direct.body = Body::ToClose;
                }
                if (direct.body == Body::None || (direct.body == Body::Length && direct.left <= 0)) {
                    directEnded(transfer, CURLE_OK);
                    return false;
                }
            }
            continue;
        }
        switch (direct.body) {
        case Body::None:
            return true;
        case Body::ToClose:
            if (!direct.in.isEmpty() && !body(direct.in.size())) {
                directEnded(transfer, CURLE_WRITE_ERROR);
                return false;
            }
            return true;
        case Body::Length: {
            const qsizetype size = qsizetype(std::min<qint64>(direct.left, direct.in.size()));
            if (size > 0 && !body(size)) {
                directEnded(transfer, CURLE_WRITE_ERROR);
                return false;
            }
            direct.left -= size;
            if (direct.left == 0) {
                directEnded(transfer, CURLE_OK);
                return false;
            }
            return true;
        }
        case Body::Chunked:
            break;
        }
        if (direct.chunk == Chunk::Data) {
            const qsizetype size = qsizetype(std::min<qint64>(direct.left, direct.in.size()));
            if (size == 0) {
                return true;
            }
            if (!body(size)) {
                directEnded(transfer, CURLE_WRITE_ERROR);
                return false;
            }
            direct.left -= size;
            direct.chunk = direct.left == 0 ? Chunk::DataEnd : Chunk::Data;
            continue;
        }
        auto next = line();
        if (!next) {
            if (direct.in.size() > 1024) {
                directEnded(transfer, CURLE_RECV_ERROR); // no chunk's size line is that long
                return false;
            }
            return true;
        }
        if (direct.chunk == Chunk::DataEnd) {
            direct.chunk = Chunk::Size;
            continue;
        }
        if (direct.chunk == Chunk::Trailers) {
            if (next->trimmed().isEmpty()) {
                directEnded(transfer, CURLE_OK);
                return false;
            }
            if (!header(*next)) {
                directEnded(transfer, CURLE_WRITE_ERROR);
                return false;
            }
            continue;
        }
        bool ok = false;
        direct.left = next->split(';').front().trimmed().toLongLong(&ok, 16);
        if (!ok || direct.left < 0) {
            transfer.endedBy = TransferEnd{TransferEnd::Kind::Failed, CURLE_RECV_ERROR, QStringLiteral("a chunk's size is no number")};
            transfer.endedBy->cause = TransferEnd::Cause::NotHttp;
            directEnded(transfer, CURLE_RECV_ERROR);
            return false;
        }
        direct.chunk = direct.left == 0 ? Chunk::Trailers : Chunk::Data;
    }
}

void TransferThread::Carrier::directEnded(Transfer& transfer, CURLcode result) {
    transfer.direct.reset();
    hopDone(transfer, result);
}

} // namespace velmora
