#include "core/net/APIRequest.h"
#include "core/model/JiraProvider.h"
#include "core/net/ServerEndpoint.h"
#include "tests/support/Await.h"
#include "tests/support/EventLoop.h"
#include "tests/support/FakeHttpsServer.h"
#include "tests/support/LoopbackImageServer.h"

#include <QTimeZone>

#include <gtest/gtest.h>

#include <cmath>

using namespace velmora;
using namespace std::chrono_literals;
using test::awaitOutcome;
using test::FakeResponse;

namespace {

class PathEndpoint : public Endpoint {
public:
    explicit PathEndpoint(QString path) : m_path(std::move(path)) {}
    QString path() const override { return m_path; }

private:
    QString m_path;
};

struct ItemDTO {
    QString id;
    std::optional<QString> name;
};
void from_json(const nlohmann::json& j, ItemDTO& v) {
    wire::field(j, "id", v.id);
    wire::field(j, "name", v.name);
}

struct StampDTO {
    QDateTime createdAt;
};
void from_json(const nlohmann::json& j, StampDTO& v) {
    wire::field(j, "createdAt", v.createdAt);
}

// Log lines written while it exists, as "category: message".
class LogCapture {
public:
    LogCapture() {
        lines().clear();
        m_previous =
            qInstallMessageHandler([](QtMsgType, const QMessageLogContext& context, const QString& message) {
                lines().append(QString::fromUtf8(context.category) + QStringLiteral(": ") + message);
            });
    }
    ~LogCapture() { qInstallMessageHandler(m_previous); }
    static QStringList& lines() {
        static QStringList captured;
        return captured;
    }
    int count(const QString& category) const {
        int n = 0;
        for (const auto& line : lines()) {
            n += line.startsWith(QStringLiteral("app.velmora.Velmora.") + category + QStringLiteral(": "))
                     ? 1
                     : 0;
        }
        return n;
    }

private:
    QtMessageHandler m_previous = nullptr;
};

class APIRequestTest : public ::testing::Test {
protected:
    void SetUp() override {
        SessionConfiguration::setProcessExtraCaCertificates(test::FakeHttpsServer::trustedCaCertificates());
        qputenv("VELMORA_JIRA_API_HOST", server.hostAndPort().toUtf8());
        qputenv("VELMORA_ASANA_API_HOST", server.hostAndPort().toUtf8());
        qputenv("VELMORA_SERVER_URL", server.hostAndPort().toUtf8());
    }
    void TearDown() override {
        SessionConfiguration::setProcessExtraCaCertificates({});
        qunsetenv("VELMORA_JIRA_API_HOST");
        qunsetenv("VELMORA_ASANA_API_HOST");
        qunsetenv("VELMORA_SERVER_URL");
    }

    std::shared_ptr<APIRequest> youTrack(const QString& prefix = QString()) const {
        return APIRequest::youTrack(QStringLiteral("yt-token"), server.hostAndPort() + prefix);
    }

    test::FakeHttpsServer server;
};

} // namespace

TEST_F(APIRequestTest, FactoriesBuildTheirBaseAddresses) {
    const QString host = server.hostAndPort();
    EXPECT_EQ(APIRequest::jira("t", "r", "cloud-1")->baseUrl(), host + "/ex/jira/cloud-1");
    EXPECT_EQ(APIRequest::jira("t", "r", "")->baseUrl(), host);
    EXPECT_EQ(APIRequest::asana("t", "r", "w")->baseUrl(), host + "/api/1.0");
    EXPECT_EQ(APIRequest::youTrack("t", "example.youtrack.cloud/youtrack")->baseUrl(),
              "example.youtrack.cloud/youtrack");
    EXPECT_EQ(APIRequest::asana("t", "r", "w")->decoder().dateStrategy(),
              DateDecodingStrategy::Iso8601WithFractionalSeconds);
    EXPECT_EQ(APIRequest::jira("t", "r", "c")->decoder().dateStrategy(),
              DateDecodingStrategy::SecondsSince1970);

    qunsetenv("VELMORA_JIRA_API_HOST");
    qunsetenv("VELMORA_ASANA_API_HOST");
    EXPECT_EQ(APIRequest::jira("t", "r", "c")->baseUrl(), "api.atlassian.com/ex/jira/c");
    EXPECT_EQ(APIRequest::asana("t", "r", "w")->baseUrl(), "app.asana.com/api/1.0");
}

TEST_F(APIRequestTest, SendsOnlyItsOwnHeaders) {
    server.on("GET", "/ex/jira/cloud-1/rest/api/3/project/search", FakeResponse::json(R"({"id":"1"})"));
    server.on("POST", "/ex/jira/cloud-1/rest/api/3/issue/A-1/worklog", FakeResponse::empty(201));
    auto client = APIRequest::jira("secret", "refresh", "cloud-1");

    auto read =
        awaitOutcome(client->perform<ItemDTO>(PathEndpoint("rest/api/3/project/search"), HttpMethod::Get));
    ASSERT_TRUE(read && read->ok()) << (read ? qPrintable(read->error().description()) : "no outcome");
    auto seen = server.lastRequest();
    EXPECT_EQ(seen.header("Authorization"), "Bearer secret");
    EXPECT_FALSE(seen.hasHeader("Content-Type"));
    EXPECT_FALSE(seen.hasHeader("Accept"));
    EXPECT_FALSE(seen.hasHeader("Device-ID"));

    auto booked =
        awaitOutcome(client->perform<Void>(PathEndpoint("rest/api/3/issue/A-1/worklog"), HttpMethod::Post,
                                           std::nullopt, nlohmann::json{{"timeSpentSeconds", 3600}}));
    ASSERT_TRUE(booked && booked->ok());
    seen = server.lastRequest();
    EXPECT_EQ(seen.method, "POST");
    EXPECT_EQ(seen.header("Authorization"), "Bearer secret");
    EXPECT_EQ(seen.header("Content-Type"), "application/json");
    EXPECT_EQ(seen.body, R"({"timeSpentSeconds":3600})");
    EXPECT_FALSE(seen.hasHeader("Accept"));
}

TEST_F(APIRequestTest, ChecksTheStatusBeforeDecoding) {
    server.on("GET", "/ok", FakeResponse::json(R"({"id":"7","name":null,"extra_field":[1]})"));
    server.on("GET", "/mismatch", FakeResponse::json(R"({"name":"no id"})"));
    server.on("GET", "/unauthorized", FakeResponse::json(R"({"code":401,"message":"Unauthorized"})", 401));
    server.on("GET", "/limited", FakeResponse::json("{}", 429).withHeader("Retry-After", "30"));
    server.on("GET", "/limited-no-wait", FakeResponse::json("{}", 429));
    server.on("GET", "/payment", FakeResponse::json("{}", 402));
    server.on("GET", "/forbidden", FakeResponse::json("{}", 403));
    server.on("GET", "/broken", FakeResponse::json("{}", 500));
    server.on("GET", "/not-json", FakeResponse::text("<html>"));
    auto client = youTrack();

    auto ok = awaitOutcome(client->perform<ItemDTO>(PathEndpoint("ok"), HttpMethod::Get));
    ASSERT_TRUE(ok && ok->ok());
    EXPECT_EQ(ok->value().id, "7");
    EXPECT_FALSE(ok->value().name.has_value());

    {
        LogCapture log;
        auto mismatch = awaitOutcome(client->perform<ItemDTO>(PathEndpoint("mismatch"), HttpMethod::Get));
        ASSERT_TRUE(mismatch && !mismatch->ok());
        EXPECT_EQ(mismatch->error(), APIError::unknown());
        EXPECT_EQ(log.count("Network"), 1) << qPrintable(LogCapture::lines().join('\n'));
    }

    const std::vector<std::pair<const char*, APIError>> refusals{
        {"unauthorized", APIError::unauthorized()},
        {"limited", APIError::rateLimited(30)},
        {"limited-no-wait", APIError::rateLimited()},
        {"payment", APIError::paymentRequired()},
        {"forbidden", APIError::validation()},
        {"broken", APIError::unknown()},
        {"not-json", APIError::unknown()},
    };
    for (const auto& [path, expected] : refusals) {
        auto outcome = awaitOutcome(client->perform<ItemDTO>(PathEndpoint(path), HttpMethod::Get));
        ASSERT_TRUE(outcome.has_value()) << path;
        ASSERT_FALSE(outcome->ok()) << path;
        EXPECT_EQ(outcome->error(), expected) << path << ": " << qPrintable(outcome->error().description());
    }
}

TEST_F(APIRequestTest, TheEmptyFormIgnoresTheBody) {
    server.on("DELETE", "/item/1", FakeResponse::empty(204));
    server.on("POST", "/item", FakeResponse::text("whatever, not JSON", 200));
    server.on("DELETE", "/item/2", FakeResponse::json("{}", 404));
    auto client = youTrack();

    auto deleted = awaitOutcome(client->perform(PathEndpoint("item/1"), HttpMethod::Delete));
    ASSERT_TRUE(deleted && deleted->ok());
    EXPECT_EQ(server.lastRequest().method, "DELETE");
    EXPECT_FALSE(server.lastRequest().hasHeader("Content-Type"));

    auto posted = awaitOutcome(client->perform<Void>(PathEndpoint("item"), HttpMethod::Post, std::nullopt,
                                                     nlohmann::json{{"a", 1}}));
    ASSERT_TRUE(posted && posted->ok());

    LogCapture log;
    auto missing = awaitOutcome(client->perform(PathEndpoint("item/2"), HttpMethod::Delete));
    ASSERT_TRUE(missing && !missing->ok());
    EXPECT_EQ(missing->error(), APIError::unknown());
    EXPECT_EQ(log.count("API Logging"), 0) << "an error status is not a parsing error";
}

TEST_F(APIRequestTest, QueryItemsReplaceTheQueryAndAreFullyEncoded) {
    server.onAny([](const test::FakeRequest&) { return FakeResponse::json(R"({"id":"1"})"); });
    auto client = youTrack();
    const PathEndpoint endpoint("api/issues?fields=id");

    ASSERT_TRUE(awaitOutcome(client->perform<ItemDTO>(endpoint, HttpMethod::Get,
                                                      QueryItems{{"query", "a+b c&d=e/#"}, {"cursor", ""}}))
                    ->ok());
    EXPECT_EQ(server.lastRequest().path, "/api/issues");
    EXPECT_EQ(server.lastRequest().rawQuery, "query=a%2Bb%20c%26d%3De%2F%23&cursor=");
    EXPECT_EQ(server.lastRequest().queryValue("query"), "a+b c&d=e/#");

    // An empty list still replaces the endpoint's own query; no list keeps it.
    ASSERT_TRUE(awaitOutcome(client->perform<ItemDTO>(endpoint, HttpMethod::Get, QueryItems{}))->ok());
    EXPECT_TRUE(server.lastRequest().rawQuery.isEmpty());
    ASSERT_TRUE(awaitOutcome(client->perform<ItemDTO>(endpoint, HttpMethod::Get))->ok());
    EXPECT_EQ(server.lastRequest().rawQuery, "fields=id");

    // An id with "/" and "?" stays one path segment.
    ASSERT_TRUE(awaitOutcome(client->perform<ItemDTO>(
                                 PathEndpoint("api/issues/" + Endpoint::segment("A/B C?#") + "/timeTracking"),
                                 HttpMethod::Get))
                    ->ok());
    EXPECT_EQ(server.lastRequest().path, "/api/issues/A%2FB%20C%3F%23/timeTracking");
    EXPECT_FALSE(server.lastRequest().hasQuery);

    // Nor can an id of dots climb out of its place in the path: that is refused unsent.
    const int sent = server.requestCount();
    for (const QString& dots : {Endpoint::segment("."), Endpoint::segment(".."), QStringLiteral("%2E%2e")}) {
        auto outcome = awaitOutcome(client->perform<ItemDTO>(
            PathEndpoint("api/issues/" + dots + "/timeTracking"), HttpMethod::Delete));
        ASSERT_TRUE(outcome && !outcome->ok()) << qPrintable(dots);
        EXPECT_EQ(outcome->error(), APIError::unknown());
    }
    EXPECT_EQ(server.requestCount(), sent);
}

TEST_F(APIRequestTest, SendsNothingForABadUrlOrAnUnwritableBody) {
    server.onAny([](const test::FakeRequest&) { return FakeResponse::empty(204); });

    // A base address typed by a user may not make a URL at all.
    for (const QString& base :
         {server.hostAndPort() + "/you track", QStringLiteral(""), server.hostAndPort() + "/%zz"}) {
        auto client = APIRequest::youTrack("t", base);
        auto outcome = awaitOutcome(client->perform(PathEndpoint("api/issues"), HttpMethod::Get));
        ASSERT_TRUE(outcome && !outcome->ok()) << qPrintable(base);
        EXPECT_EQ(outcome->error(), APIError::unknown());
    }
    auto outcome = awaitOutcome(youTrack()->perform<ItemDTO>(QUrl("not a url"), HttpMethod::Get));
    ASSERT_TRUE(outcome && !outcome->ok());

    // A booking whose duration cannot be written is not sent without it.
    auto booking =
        awaitOutcome(youTrack()->perform<Void>(PathEndpoint("api/workItems"), HttpMethod::Post, std::nullopt,
                                               nlohmann::json{{"duration", std::nan("")}}));
    ASSERT_TRUE(booking && !booking->ok());
    EXPECT_EQ(booking->error(), APIError::unknown());
    EXPECT_FALSE(youTrack()
                     ->makeRequest(server.url("/x"), HttpMethod::Post, std::nullopt,
                                   nlohmann::json{{"text", std::string("\xff")}})
                     .ok());

    // A token (from a link, say) with a line break would add headers of its own.
    auto injected = awaitOutcome(APIRequest::jira("t\r\nX-Injected: 1", "r", "cloud-1")
                                     ->perform<ItemDTO>(PathEndpoint("rest/api/3/myself"), HttpMethod::Get));
    ASSERT_TRUE(injected && !injected->ok());
    EXPECT_EQ(injected->error(), APIError::unknown());

    test::drainEvents();
    EXPECT_EQ(server.requestCount(), 0);
}

TEST_F(APIRequestTest, IsColdAndReadsTheBaseAddressWhenMade) {
    server.on("GET", "/api/me", FakeResponse::json(R"({"id":"me"})"));
    auto client = youTrack();
    const auto operation = client->perform<ItemDTO>(PathEndpoint("api/me"), HttpMethod::Get);
    client->setBaseUrl(QStringLiteral("elsewhere.invalid"));
    test::drainEvents();
    EXPECT_EQ(server.requestCount(), 0) << "nothing is sent before a subscription";

    ASSERT_TRUE(awaitOutcome(operation)->ok());
    ASSERT_TRUE(awaitOutcome(operation)->ok());
    EXPECT_EQ(server.requestCount(), 2) << "each subscription sends anew";
}

TEST_F(APIRequestTest, TimeOutsAndCancellation) {
    server.on("GET", "/slow", FakeResponse::json(R"({"id":"1"})").withDelay(3000));
    auto client = youTrack();
    auto config = APIRequest::sessionConfiguration(QStringLiteral("t"));
    config.requestTimeout = 200ms;
    client->setSession(NetworkSession::create(config));

    {
        LogCapture log;
        auto outcome = awaitOutcome(client->perform<ItemDTO>(PathEndpoint("slow"), HttpMethod::Get), 2500);
        ASSERT_TRUE(outcome.has_value()) << "the time-out did not fire";
        ASSERT_FALSE(outcome->ok());
        EXPECT_EQ(outcome->error(), APIError::unknown());
        EXPECT_EQ(log.count("Network"), 1);
    }
    {
        LogCapture log;
        auto outcome = awaitOutcome(client->perform(PathEndpoint("slow"), HttpMethod::Get), 2500);
        ASSERT_TRUE(outcome.has_value() && !outcome->ok());
        EXPECT_EQ(log.count("API Logging"), 1);
        EXPECT_TRUE(LogCapture::lines().join('\n').contains("[APIRequest] A parsing error occurred: "));
    }

    const int closedBefore = server.closedConnections();
    bool delivered = false;
    auto running = youTrack()->perform<ItemDTO>(PathEndpoint("slow"), HttpMethod::Get).subscribe([&](auto) {
        delivered = true;
    });
    const int requestsBefore = server.requestCount();
    ASSERT_TRUE(test::waitUntil([&] { return server.requestCount() > requestsBefore; }));
    running.cancel();
    EXPECT_TRUE(test::waitUntil([&] { return server.closedConnections() > closedBefore; }, 1000));
    EXPECT_FALSE(delivered);
}

TEST_F(APIRequestTest, AsanaDatesAreIso8601) {
    server.on("GET", "/api/1.0/stamp", FakeResponse::json(R"({"created_at":"2024-05-01T10:00:00.000Z"})"));
    server.on("GET", "/api/1.0/stamp-without-fraction",
              FakeResponse::json(R"({"created_at":"2024-05-01T10:00:00Z"})"));
    auto client = APIRequest::asana("t", "r", "w");
    auto stamp = awaitOutcome(client->perform<StampDTO>(PathEndpoint("stamp"), HttpMethod::Get));
    ASSERT_TRUE(stamp && stamp->ok()) << (stamp ? qPrintable(stamp->error().description()) : "");
    EXPECT_EQ(stamp->value().createdAt, QDateTime(QDate(2024, 5, 1), QTime(10, 0), QTimeZone::utc()));
    stamp = awaitOutcome(client->perform<StampDTO>(PathEndpoint("stamp-without-fraction"), HttpMethod::Get));
    ASSERT_TRUE(stamp && !stamp->ok());
    EXPECT_EQ(stamp->error(), APIError::unknown());
}

TEST_F(APIRequestTest, AbsoluteUrlsReachTheMakersServer) {
    server.on("POST", "/oauth/app/jira/refresh", [](const test::FakeRequest& r) {
        return r.body == R"({"refreshToken":"r1"})"
                   ? FakeResponse::json(R"({"token":"t2","refresh_token":"r2"})")
                   : FakeResponse::empty(401);
    });
    auto client = APIRequest::jira("t1", "r1", "cloud");
    auto credentials = awaitOutcome(client->perform<JiraProvider::Credentials>(
        QUrl(ServerEndpoint(ServerEndpoint::JiraRefresh).url()), HttpMethod::Post, std::nullopt,
        nlohmann::json{{"refreshToken", "r1"}}));
    ASSERT_TRUE(credentials && credentials->ok())
        << (credentials ? qPrintable(credentials->error().description()) : "");
    EXPECT_EQ(credentials->value().token, "t2");
    EXPECT_EQ(credentials->value().refreshToken, "r2");
    EXPECT_EQ(server.lastRequest().rawQuery, "appVersion=1.0.0");
    EXPECT_EQ(server.lastRequest().header("Authorization"), "Bearer t1");
}

TEST_F(APIRequestTest, ABookingIsSentOnceWhateverHappens) {
    server.on("POST", "/api/1.0/tasks/1/time_tracking_entries", FakeResponse::noAnswer());
    auto client = APIRequest::asana("t", "r", "w");
    auto outcome = awaitOutcome(client->perform<Void>(PathEndpoint("tasks/1/time_tracking_entries"),
                                                      HttpMethod::Post, std::nullopt,
                                                      nlohmann::json{{"data", {{"duration_minutes", 5}}}}));
    ASSERT_TRUE(outcome && !outcome->ok());
    EXPECT_EQ(outcome->error(), APIError::unknown());
    // Sent again, the booking would have come before a read that follows it.
    server.on("GET", "/api/1.0/users/me", FakeResponse::json("{}"));
    auto read = awaitOutcome(client->perform<Void>(PathEndpoint("users/me"), HttpMethod::Get));
    ASSERT_TRUE(read && read->ok());
    EXPECT_EQ(server.requestsTo(QStringLiteral("/time_tracking_entries")).size(), 1);
}

// A tracker (or whatever stands in its place) that answers a booking with a head that
// never ends: the booking may have been stored, so its outcome is an unreadable answer,
// never "nothing sent", and it is known within seconds, not at the time-outs.
TEST_F(APIRequestTest, ABookingWhoseAnswerHeadNeverEndsIsUnreadableNotUnsent) {
    test::LoopbackImageServer tracker(test::LoopbackImageServer::Scheme::Https);
    tracker.serve("/issue/A-1/timeTracking/workItems", test::ImageAnswer::endlessHeader());
    auto client =
        APIRequest::youTrack(QStringLiteral("yt-token"), QStringLiteral("127.0.0.1:%1").arg(tracker.port()));
    const auto outcome =
        awaitOutcome(client->perform<Void>(PathEndpoint("issue/A-1/timeTracking/workItems"), HttpMethod::Post,
                                           std::nullopt, nlohmann::json{{"duration", {{"minutes", 60}}}}),
                     8000);
    ASSERT_TRUE(outcome.has_value()) << "no outcome; the server sent " << tracker.bytesSent() << " bytes";
    ASSERT_FALSE(outcome->ok());
    EXPECT_EQ(outcome->error().cause(), APIError::Cause::Unreadable);
    EXPECT_FALSE(outcome->error().neverSent());
    EXPECT_EQ(tracker.requestCount("/issue/A-1/timeTracking/workItems"), 1);
}

// Every failure keeps what happened and where, so the user can be told whose fault it
// was; a server whose certificate isn't trusted never receives the request (nor its
// token).
TEST_F(APIRequestTest, FailuresKeepTheirCauseStatusAndHost) {
    server.on("GET", "/broken", FakeResponse::json("{}", 503));
    server.on("GET", "/forbidden", FakeResponse::json("{}", 403));
    server.on("GET", "/not-json", FakeResponse::text("<html>"));
    server.on("GET", "/slow", FakeResponse::json(R"({"id":"1"})").withDelay(3000));
    auto client = youTrack();
    auto failure = [&](const QString& path) {
        auto outcome = awaitOutcome(client->perform<ItemDTO>(PathEndpoint(path), HttpMethod::Get), 2500);
        EXPECT_TRUE(outcome && !outcome->ok()) << path.toStdString();
        return outcome && !outcome->ok() ? outcome->error() : APIError();
    };

    const APIError broken = failure(QStringLiteral("broken"));
    EXPECT_EQ(broken.cause(), APIError::Cause::ServerError);
    EXPECT_EQ(broken.httpStatus(), 503);
    EXPECT_EQ(broken.host(), QStringLiteral("127.0.0.1"));
    const APIError forbidden = failure(QStringLiteral("forbidden"));
    EXPECT_TRUE(forbidden.is(APIError::Kind::Validation));
    EXPECT_TRUE(forbidden.isAccessRefused());
    EXPECT_EQ(failure(QStringLiteral("not-json")).cause(), APIError::Cause::Unreadable);

    SessionConfiguration::setProcessTimeoutCap(200ms);
    EXPECT_EQ(failure(QStringLiteral("slow")).cause(), APIError::Cause::TimedOut);
    SessionConfiguration::setProcessTimeoutCap(std::nullopt);

    test::FakeHttpsServer untrusted(test::FakeHttpsServer::Certificate::Untrusted);
    auto toUntrusted = APIRequest::youTrack(QStringLiteral("yt-token"), untrusted.hostAndPort());
    auto outcome = awaitOutcome(toUntrusted->perform<ItemDTO>(PathEndpoint("ok"), HttpMethod::Get), 2500);
    ASSERT_TRUE(outcome && !outcome->ok());
    EXPECT_EQ(outcome->error().cause(), APIError::Cause::UntrustedCertificate);
    EXPECT_EQ(outcome->error().host(), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(untrusted.requestCount(), 0) << "nothing, no token, was sent";

    const quint16 port = server.port();
    server.stop();
    auto gone = APIRequest::youTrack(QStringLiteral("yt-token"), QStringLiteral("127.0.0.1:%1").arg(port));
    auto refused = awaitOutcome(gone->perform<ItemDTO>(PathEndpoint("ok"), HttpMethod::Get), 2500);
    ASSERT_TRUE(refused && !refused->ok());
    EXPECT_EQ(refused->error().cause(), APIError::Cause::Unreachable);
}
