#include "platform/net/TransferCarrier.h"

#include <algorithm>
#include <chrono>

namespace velmora {

namespace {

long wholeMs(std::chrono::milliseconds ms) {
    return static_cast<long>(std::clamp<qint64>(ms.count(), 1, 86400000));
}

} // namespace

CURL* TransferThread::Carrier::setUpEasy(Transfer& transfer) {
    CURL* easy = curl_easy_init();
    if (!easy) {
        return nullptr;
    }
    const TransferOrder& order = transfer.order;
    Client& client = clientOf(transfer);
    const QByteArray url = order.url.toEncoded();
    curl_easy_setopt(easy, CURLOPT_URL, url.constData());
    curl_easy_setopt(easy, CURLOPT_PRIVATE, &transfer);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.curlError.data());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    // Leaving a transfer whose look-up has not answered never waits for the look-up's thread.
    curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L);
    // One answer per connection, read as lines: the head's bounds are this side's.
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    // No bundle read by libcurl: every connection takes the shared store of its trust (below).
    // A trust of extra authorities is told apart by a path nothing is read from, which
    // libcurl compares before it lets a connection carry a request.
    curl_easy_setopt(easy, CURLOPT_CAINFO, nullptr);
    const QByteArray trustTag = order.authorities && !order.authorities->tag().isEmpty()
                                    ? "/nonexistent/velmora-trust-" + order.authorities->tag()
                                    : QByteArray();
    curl_easy_setopt(easy, CURLOPT_CAPATH, trustTag.isEmpty() ? nullptr : trustTag.constData());
    curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &Carrier::onSslContext);
    curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_SHARE, client.share);
    curl_easy_setopt(easy, CURLOPT_PROXY, order.proxy.constData());
    if (!order.proxyUser.isEmpty()) {
        curl_easy_setopt(easy, CURLOPT_PROXYUSERNAME, order.proxyUser.constData());
        curl_easy_setopt(easy, CURLOPT_PROXYPASSWORD, order.proxyPassword.constData());
    }
    // A proxy's answer to CONNECT is libcurl's to read; only the server's heads come here.
    curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    // The body comes as sent: a caller's codings are inflated here, in slices its bound can
    // stop, or by the caller itself.
    curl_easy_setopt(easy, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    if (order.credential) {
        curl_easy_setopt(easy, CURLOPT_HTTPAUTH, long(CURLAUTH_BASIC));
        curl_easy_setopt(easy, CURLOPT_USERNAME, order.credential->first.constData());
        curl_easy_setopt(easy, CURLOPT_PASSWORD, order.credential->second.constData());
    }
    if (order.cookies) {
        curl_easy_setopt(easy, CURLOPT_COOKIEFILE, "");
    }
    // Time below HTTP too: the whole transfer, its connection, and a floor of a byte a second
    // over the stall bound. This side's own clock ends them to the millisecond.
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(transfer.resourceDeadline -
                                                                            SteadyClock::now());
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, wholeMs(left));
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                     wholeMs(std::min({left, order.stallTimeout, order.connectTimeout})));
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME,
                     static_cast<long>(std::max<qint64>(1, (order.stallTimeout.count() + 999) / 1000)));
    // Idle connections: reused only while younger than the caller's longest age (each is shut
    // at its own before, closeAgedConnections).
    const ConnectionUse& use = *order.connections;
    curl_easy_setopt(easy, CURLOPT_MAXAGE_CONN, long(std::max<qint64>(1, use.longestIdleAge().count())));
    if (order.readBufferBytes > 0) {
        curl_easy_setopt(easy, CURLOPT_BUFFERSIZE,
                         long(std::clamp<qint64>(order.readBufferBytes, 1024, CURL_MAX_READ_SIZE)));
    }
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Carrier::onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Carrier::onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, &Carrier::onOpenSocket);
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETFUNCTION, &Carrier::onCloseSocket);
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETDATA, this);
    curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &Carrier::onPrerequest);
    curl_easy_setopt(easy, CURLOPT_PREREQDATA, &transfer);
    transfer.reuse.watch(easy);
    // A write's answer is its own only on a connection that carried nothing before it, and
    // none after it may take a late second answer to it. On a new connection libcurl never
    // sends it again either (it does so only for a kept one that closed unanswered).
    const bool once = sentOnce(order);
    curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, long(transfer.freshConnection || once));
    curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, long(once));

    curl_slist* list = nullptr;
    bool askedCodings = false;
    for (const QByteArray& line : order.headerLines) {
        list = curl_slist_append(list, line.constData());
        askedCodings = askedCodings || line.toLower().startsWith("accept-encoding");
    }
    if (order.inflated && !askedCodings) {
        list = curl_slist_append(list,
                                 ("Accept-Encoding: " + ContentDecoder::acceptedEncodings()).constData());
    }
    // libcurl would ask the server to wait for a go before a large body; nobody waits here.
    list = curl_slist_append(list, "Expect:");
    if (!keepAlive(transfer)) {
        // A host past the few that keep a connection: closed by this side once answered.
        list = curl_slist_append(list, "Connection: close");
        curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
    }
    transfer.headerList.reset(list);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list);

    if (order.method == "HEAD") {
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    } else if (order.body) {
        // Read from here, never handed over whole: libcurl can send it again only by
        // seeking back to its start, which only a request that may go twice allows.
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(order.body->size()));
        curl_easy_setopt(easy, CURLOPT_READFUNCTION, &Carrier::onRead);
        curl_easy_setopt(easy, CURLOPT_READDATA, &transfer);
        curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &Carrier::onSeek);
        curl_easy_setopt(easy, CURLOPT_SEEKDATA, &transfer);
        if (order.method != "POST") {
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, order.method.constData());
        }
    } else {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        if (order.method != "GET") {
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, order.method.constData());
        }
    }
    if (transfer.ahead) {
        // The connection alone, TLS included; the write that takes it sends its request itself.
        curl_easy_setopt(easy, CURLOPT_CONNECT_ONLY, 1L);
        curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);
    }
    return easy;
}

CURLcode TransferThread::Carrier::onSslContext(CURL*, void* context, void* transferContext) {
    auto* ssl = static_cast<SSL_CTX*>(context);
    const auto& transfer = *static_cast<Transfer*>(transferContext);
    SSL_CTX_set_keylog_callback(ssl, nullptr);
    SSL_CTX_set_msg_callback(ssl, &Carrier::onTlsMessage);
    const std::shared_ptr<const TrustStore> trust =
        transfer.order.authorities ? transfer.order.authorities : TrustStore::of({});
    SSL_CTX_set1_cert_store(ssl, static_cast<X509_STORE*>(trust->store()));
    return CURLE_OK;
}

} // namespace velmora
