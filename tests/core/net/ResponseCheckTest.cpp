#include "core/net/ResponseCheck.h"

#include <gtest/gtest.h>

using namespace velmora;

namespace {

HttpResponse response(int status, QByteArray body = "{\"a\":1}") {
    HttpResponse r;
    r.statusCode = status;
    r.body = std::move(body);
    return r;
}

HttpResponse tooMany(std::optional<QByteArray> retryAfter, QByteArray name = "Retry-After") {
    auto r = response(429);
    if (retryAfter) {
        r.headers.emplace_back(name, *retryAfter);
    }
    return r;
}

} // namespace

TEST(ResponseCheck, MapsEachStatus) {
    for (int status : {200, 201, 204, 299}) {
        const auto result = validateResponse(response(status));
        ASSERT_TRUE(result.ok()) << status;
        EXPECT_EQ(result.value(), "{\"a\":1}") << "the body passes untouched";
    }
    for (int status : {100, 199, 300, 304, 400, 404, 409, 500, 503}) {
        const auto result = validateResponse(response(status));
        ASSERT_FALSE(result.ok()) << status;
        EXPECT_EQ(result.error(), APIError::unknown()) << status;
    }
    EXPECT_EQ(validateResponse(response(401)).error(), APIError::unauthorized());
    EXPECT_EQ(validateResponse(response(402)).error(), APIError::paymentRequired());
    EXPECT_EQ(validateResponse(response(403)).error(), APIError::validation());
    EXPECT_EQ(validateResponse(response(422)).error(), APIError::validation());
    // Not an HTTP answer at all.
    EXPECT_EQ(validateResponse(response(0)).error(), APIError::unknown());
}

TEST(ResponseCheck, ReadsRetryAfterOfA429) {
    EXPECT_EQ(validateResponse(tooMany("30")).error(), APIError::rateLimited(30));
    EXPECT_EQ(validateResponse(tooMany("+30")).error(), APIError::rateLimited(30));
    // A negative wait is no wait.
    EXPECT_EQ(validateResponse(tooMany("-5")).error(), APIError::rateLimited(0));
    for (const QByteArray& odd : {QByteArray("1.5"), QByteArray(" 30"), QByteArray("30s"), QByteArray(""),
                                  QByteArray("Wed, 21 Oct 2015 07:28:00 GMT"), QByteArray("+"),
                                  QByteArray("99999999999999999999999x")}) {
        EXPECT_EQ(validateResponse(tooMany(odd)).error(), APIError::rateLimited()) << odd.constData();
    }
    EXPECT_EQ(validateResponse(tooMany(std::nullopt)).error(), APIError::rateLimited());
    // HTTP/2 sends header names in lower case; they mean the same.
    EXPECT_EQ(validateResponse(tooMany("12", "retry-after")).error(), APIError::rateLimited(12));
}
