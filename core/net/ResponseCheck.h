#pragma once

#include "core/model/APIError.h"
#include "platform/async/Result.h"
#include "platform/net/HttpResponse.h"

#include <QByteArray>

namespace velmora {

// The status check every response passes before anything reads its body: 2xx gives
// the body back untouched; 401 unauthorized; 402 paymentRequired; 403 and 422
// validation; 429 rateLimited with the "Retry-After" seconds (absent when the header
// is missing or not a plain number); anything else unknown with the cause
// ServerError, and a response that is not HTTP unknown with the cause Unreadable.
// Every error keeps the status it came with. An error body is never looked at.
Result<QByteArray, APIError> validateResponse(const HttpResponse& response);

} // namespace velmora
