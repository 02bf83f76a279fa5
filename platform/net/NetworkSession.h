#pragma once

#include "platform/async/Publisher.h"
#include "platform/net/HttpRequest.h"
#include "platform/net/HttpResponse.h"
#include "platform/net/SessionConfiguration.h"
#include "platform/net/TransportError.h"

#include <memory>

namespace velmora {

// Sends HTTP requests with one configuration (headers, time-outs, trusted authorities).
//
// Every session's requests travel on one thread of their own (TransferThread, libcurl's multi
// interface), whose bounds hold where an answer's bytes are read: a head past its bytes, lines
// or time ends its request as unreadable (ProtocolFailure) at once, whatever the server keeps
// sending, and costs no other request its place or its time. The outcome is delivered on the
// thread that subscribed, which needs a running Qt event loop. TLS is always verified: a
// certificate that does not lead to a trusted authority fails the request, and nothing here
// ever ignores TLS errors; sessions that trust differently never share a connection.
// Redirects are followed only within the same scheme, host and port, so headers such as
// "Authorization" never travel to another server, and only for requests that may be sent
// twice: a POST's redirect is its answer (3xx). A request that may not be sent twice (POST,
// PATCH) never goes out again on a new connection once its body began. Interim answers
// (1xx) are skipped. The system's proxy settings apply as Qt reads them (a request to this
// machine goes direct). No cookies are kept or sent, and no cache. A header name or value
// holding a line break or NUL is refused (InvalidRequest) and nothing is sent, so no value
// can add headers or requests of its own.
class NetworkSession : public std::enable_shared_from_this<NetworkSession> {
public:
    static std::shared_ptr<NetworkSession>
    create(SessionConfiguration configuration = SessionConfiguration::standard());

    const SessionConfiguration& configuration() const { return m_configuration; }

    // Nothing is sent until the publisher is subscribed; each subscription sends the
    // request anew. Any HTTP status is a value (judging it is the caller's business);
    // no answer, a broken one or a time-out is a TransportError. Cancelling the
    // subscription aborts the request and closes its connection.
    Publisher<HttpResponse, TransportError> send(HttpRequest request) const;

    // A write to `url`'s server is coming (a booking sheet opened, a timer stopped): the
    // connection it will go on is opened now, so the write pays no handshake. Nothing is sent;
    // the connection is let go unused after a few seconds, and never goes through a proxy.
    void openAheadFor(const QUrl& url) const;

    // While held, the requests the main thread sends wait and start on release, in the
    // order they were sent; one cancelled meanwhile never starts. The app holds them
    // until its first window is on screen: a request's set-up (the TLS library, its
    // configuration) takes longer than anything that frame shows, and no answer could
    // come before the frame anyway. Other threads' requests never wait. Main thread only.
    static void holdMainThreadRequests();
    static void releaseMainThreadRequests();

private:
    std::function<void()> start(const HttpRequest& request,
                                std::function<void(Result<HttpResponse, TransportError>)> sink) const;

    explicit NetworkSession(SessionConfiguration configuration) : m_configuration(std::move(configuration)) {}

    SessionConfiguration m_configuration;
};

} // namespace velmora
