#pragma once

#include "platform/async/Publisher.h"
#include "platform/net/HttpRequest.h"
#include "platform/net/HttpResponse.h"
#include "platform/net/SessionConfiguration.h"
#include "platform/net/TransportError.h"

#include <memory>

namespace velmora {

// Sends HTTP requests with one configuration (headers, time-outs, cache policy,
// trusted authorities) over QNetworkAccessManager.
//
// Each thread that sends gets its own access managers (one per set of trusted
// authorities, so sessions that trust differently never share a connection), which
// live on that thread and are gone with it; the thread needs a running Qt event loop, and the answer is
// delivered on it. TLS is always verified: a certificate that does not lead to a
// trusted authority fails the request, and nothing here ever ignores TLS errors.
// Redirects are followed only within the same scheme, host and port, so headers such
// as "Authorization" never travel to another server, and only for requests that may be
// sent twice: a POST's redirect is its answer (3xx). No cookies are kept or sent. A
// header name or value holding a line break or NUL is refused (InvalidRequest) and
// nothing is sent, so no value can add headers or requests of its own.
class NetworkSession : public std::enable_shared_from_this<NetworkSession> {
public:
    static std::shared_ptr<NetworkSession>
    create(SessionConfiguration configuration = SessionConfiguration::standard());

    const SessionConfiguration& configuration() const { return m_configuration; }

    // Nothing is sent until the publisher is subscribed; each subscription sends the
    // request anew. Any HTTP status is a value (judging it is the caller's business);
    // no answer, a broken one or a time-out is a TransportError. Cancelling the
    // subscription aborts the request.
    Publisher<HttpResponse, TransportError> send(HttpRequest request) const;

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
