#include "core/net/ResponseCheck.h"

namespace velmora {

Result<QByteArray, APIError> validateResponse(const HttpResponse& response) {
    using R = Result<QByteArray, APIError>;
    if (!response.isHttp()) {
        return R::failure(APIError::failure(APIError::Cause::Unreadable));
    }
    const int status = response.statusCode;
    if (status == 401) {
        return R::failure(APIError::unauthorized().withHttpStatus(status));
    }
    if (status == 402) {
        return R::failure(APIError::paymentRequired().withHttpStatus(status));
    }
    if (status == 403 || status == 422) {
        return R::failure(APIError::validation().withHttpStatus(status));
    }
    if (status == 429) {
        // Header names compare without case: HTTP/2 writes them in lower case.
        std::optional<std::int64_t> retryAfter;
        if (const auto value = response.header("Retry-After")) {
            retryAfter = APIError::parseRetryAfter(std::string_view(value->constData(), value->size()));
        }
        return R::failure(APIError::rateLimited(retryAfter).withHttpStatus(status));
    }
    if (status >= 200 && status <= 299) {
        return R::success(response.body);
    }
    return R::failure(APIError::failure(APIError::Cause::ServerError, status));
}

} // namespace velmora
