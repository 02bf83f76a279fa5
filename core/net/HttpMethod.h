#pragma once

#include <QByteArray>

namespace velmora {

enum class HttpMethod { Get, Post, Put, Patch, Delete };

// The method as it goes on the wire: "GET", "POST", ...
inline QByteArray methodText(HttpMethod method) {
    switch (method) {
    case HttpMethod::Get:
        return QByteArrayLiteral("GET");
    case HttpMethod::Post:
        return QByteArrayLiteral("POST");
    case HttpMethod::Put:
        return QByteArrayLiteral("PUT");
    case HttpMethod::Patch:
        return QByteArrayLiteral("PATCH");
    case HttpMethod::Delete:
        return QByteArrayLiteral("DELETE");
    }
    return QByteArrayLiteral("GET");
}

} // namespace velmora
