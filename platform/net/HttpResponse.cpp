#include "platform/net/HttpResponse.h"

namespace velmora {

std::optional<QByteArray> HttpResponse::header(const QByteArray& name) const {
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0) {
            return value;
        }
    }
    return std::nullopt;
}

} // namespace velmora
