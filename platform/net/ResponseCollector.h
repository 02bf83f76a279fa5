#pragma once

#include "platform/net/Redirects.h"
#include "platform/net/TransferThread.h"

namespace velmora {

// A tracker request's answer, kept whole and handed over at its end.
class ResponseCollector final : public TransferReader {
public:
    ResponseCollector(quint64 id, TransferThread::Done done) : m_id(id), m_done(std::move(done)) {}

    Verdict head(const ResponseHeadReader& head, TransferOrder& order) override {
        m_response = HttpResponse();
        m_response.statusCode = head.status();
        m_response.headers = head.headers();
        m_response.url = order.url;
        if (isRedirectStatus(m_response.statusCode) && m_response.header("Location") && order.mayBeSentTwice) {
            return redirect(head, order);
        }
        // Its codings are the transport's to inflate (or refuse).
        return Verdict::Take;
    }

    bool body(const char* data, qsizetype size) override {
        m_response.body.append(data, size);
        return true;
    }

    void end(const TransferEnd& end) override {
        if (end.kind == TransferEnd::Kind::Done) {
            m_done(m_id, TransferThread::Outcome::success(std::move(m_response)));
        } else if (end.kind == TransferEnd::Kind::EndedByReader && m_error) {
            m_done(m_id, TransferThread::Outcome::failure(*m_error));
        } else {
            m_done(m_id, TransferThread::Outcome::failure(failureOf(end)));
        }
    }

private:
    // Redirects a tracker request that may go twice follows on its own server.
    static constexpr int redirectsBound = 20;

    Verdict redirect(const ResponseHeadReader& head, TransferOrder& order) {
        using Kind = TransportError::Kind;
        const QUrl from = order.url;
        const QUrl to = from.resolved(QUrl::fromEncoded(m_response.header("Location").value_or(QByteArray())));
        if (++m_redirects > redirectsBound) {
            m_error = TransportError{Kind::ConnectionFailed, QStringLiteral("more than %1 redirects").arg(redirectsBound),
                                     false};
            return Verdict::End;
        }
        if (!to.isValid() || !isSameOrigin(from, to)) {
            // Headers such as "Authorization" never travel to another server.
            m_error = TransportError{Kind::ConnectionFailed, QStringLiteral("a redirect to another server refused"),
                                     false};
            return Verdict::End;
        }
        order.url = to;
        if (head.status() != 307 && head.status() != 308 && order.method != "HEAD") {
            order.method = "GET";
            order.body.reset();
        }
        return Verdict::Again;
    }

    static TransportError failureOf(const TransferEnd& end) {
        using Kind = TransportError::Kind;
        using End = TransferEnd::Kind;
        // Until the request went out on a connection, nothing of it reached the server.
        const bool neverSent = !end.requestSent;
        switch (end.kind) {
        case End::TimedOut:
            // Out of time in its queue, it never went.
            return {Kind::TimedOut, end.message, neverSent};
        case End::HeadTooLarge:
        case End::HeadMalformed:
        case End::TrailersTooLarge:
            return {Kind::ProtocolFailure, end.message, false};
        case End::BodyTooLarge:
            return {Kind::TooLarge, end.message, false};
        case End::Failed:
            break;
        default:
            return {Kind::ConnectionFailed, end.message, neverSent};
        }
        using Cause = TransferEnd::Cause;
        switch (end.cause) {
        case Cause::TimedOut:
            return {Kind::TimedOut, end.message, neverSent};
        case Cause::TlsRefused:
            return {Kind::TlsFailure, end.message, neverSent};
        case Cause::OutOfResources:
            if (end.requestSent && !end.headDone) {
                // What libcurl says when a line of the head passes its buffer's bound.
                return {Kind::ProtocolFailure, QStringLiteral("a line of the answer's head is too long"), false};
            }
            return {Kind::ConnectionFailed, end.message, neverSent};
        case Cause::NotHttp:
        case Cause::Unsupported:
            return {Kind::ProtocolFailure, end.message, false};
        default:
            return {Kind::ConnectionFailed, end.message, neverSent};
        }
    }

    quint64 m_id;
    TransferThread::Done m_done;
    HttpResponse m_response;
    std::optional<TransportError> m_error;
    int m_redirects = 0;
};

} // namespace velmora
