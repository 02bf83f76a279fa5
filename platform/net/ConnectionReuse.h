#pragma once

#include <curl/curl.h>

namespace velmora {

// Which connection a request may go out on. A connection kept from an earlier request may hold
// bytes that no request asked for: a second answer that a server, or a box in front of it, sent
// a while after the first. A request sent on it would take those bytes for its own answer, and
// its own answer would go to the request after it. So a kept connection with bytes waiting is
// shut down before a request goes out on it, and the request goes on a new connection; a new
// connection is not looked at (a TLS server's session tickets may be waiting on it, and nothing
// was asked on it yet).
//
// One per hop: `watch` in the hop's setup, `mayCarryRequest` first thing in its pre-request hook,
// and `closeSocket` in the engine's close hook.
class ConnectionReuse {
public:
    // Notes the connections the hop opens, so a kept one is told from a new one.
    void watch(CURL* easy);
    // False when the hop's connection is a kept one with unread bytes: it is shut down (libcurl
    // finds it closed and drops it), the hook ends the hop unsent (CURL_PREREQFUNC_ABORT), and the
    // request may go once more, on a new connection (CURLOPT_FRESH_CONNECT).
    // The connection is named as the hook is told it: the server's address and port, and this
    // side's port.
    bool mayCarryRequest(const char* peerAddress, int peerPort, int localPort);
    // The hop ended because its connection held stray bytes: nothing of its request went out.
    bool refusedConnection() const { return m_refused; }
    // Closes a connection's socket: the engine's close hook (CURLOPT_CLOSESOCKETFUNCTION) ends
    // with it, so no socket number is looked up once it may name another connection.
    static int closeSocket(curl_socket_t socket);
    // The socket of libcurl's whose ends are these; CURL_SOCKET_BAD when none is.
    static curl_socket_t socketOf(const char* peerAddress, int peerPort, int localPort);

private:
    static int onSocket(void* self, curl_socket_t socket, curlsocktype purpose);

    bool m_opened = false;
    bool m_refused = false;
};

} // namespace velmora
