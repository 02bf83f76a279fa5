#include "core/model/APIError.h"

#include <gtest/gtest.h>

#include <limits>

using namespace velmora;

TEST(APIError, EqualityComparesKindAndRateLimitWait) {
    EXPECT_EQ(APIError::rateLimited(30), APIError::rateLimited(30));
    EXPECT_NE(APIError::rateLimited(30), APIError::rateLimited(31));
    EXPECT_NE(APIError::rateLimited(30), APIError::rateLimited());
    EXPECT_EQ(APIError::rateLimited(), APIError::rateLimited());
    EXPECT_EQ(APIError::unknown(), APIError::unknown());
    EXPECT_NE(APIError::unknown(), APIError::unauthorized());
    EXPECT_NE(APIError::validation(), APIError::paymentRequired());
    EXPECT_FALSE(APIError::unknown().retryAfter().has_value());
}

TEST(APIError, RetryAfterAcceptsOnlyASignedDecimalNumber) {
    EXPECT_EQ(APIError::parseRetryAfter("30"), 30);
    EXPECT_EQ(APIError::parseRetryAfter("+30"), 30);
    EXPECT_EQ(APIError::parseRetryAfter("0"), 0);
    for (const char* bad :
         {"", "+", "-", "1.5", " 30", "30 ", "30s", "Wed, 21 Oct 2015 07:28:00 GMT", "0x10"}) {
        EXPECT_FALSE(APIError::parseRetryAfter(bad).has_value()) << '"' << bad << '"';
    }
}

TEST(APIError, RetryAfterNeverYieldsAnUnusableWait) {
    EXPECT_EQ(APIError::parseRetryAfter("-5"), 0);
    EXPECT_EQ(APIError::parseRetryAfter("-99999999999999999999999"), 0);
    constexpr auto max = std::numeric_limits<std::int64_t>::max();
    EXPECT_EQ(APIError::parseRetryAfter("9223372036854775807"), max);
    EXPECT_EQ(APIError::parseRetryAfter("9223372036854775808"), max);
    EXPECT_EQ(APIError::parseRetryAfter("99999999999999999999999999"), max);
}
