#include "core/model/JiraProvider.h"
#include "core/net/JsonBody.h"
#include "core/net/JsonDecoder.h"
#include "core/net/JsonKeys.h"

#include <QTimeZone>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace velmora;

namespace {

struct AvatarDTO {
    QString url;
};
void from_json(const nlohmann::json& j, AvatarDTO& v) {
    wire::field(j, "url", v.url);
}

struct PersonDTO {
    QString accountId;
    std::optional<QString> emailAddress;
    int count = 0;
    double ratio = 0;
    bool active = false;
    std::vector<AvatarDTO> avatars;
    std::optional<QDateTime> created;
    std::map<std::string, QString> links;
};
void from_json(const nlohmann::json& j, PersonDTO& v) {
    wire::field(j, "accountId", v.accountId);
    wire::field(j, "emailAddress", v.emailAddress);
    wire::field(j, "count", v.count);
    wire::field(j, "ratio", v.ratio);
    wire::field(j, "active", v.active);
    wire::field(j, "avatars", v.avatars);
    wire::field(j, "created", v.created);
    wire::field(j, "links", v.links);
}

struct StampDTO {
    QDateTime at;
};
void from_json(const nlohmann::json& j, StampDTO& v) {
    wire::field(j, "at", v.at);
}

const QByteArray person = R"({
    "account_id": "a1", "email_address": null, "count": 3, "ratio": 1, "active": true,
    "avatars": [{"url": "https://x/1.png", "size_px": 48}], "links": {"self_url": "s"},
    "unlisted_key": {"anything": [1, 2]}
})";

// The person with one member replaced (a JSON fragment), or removed when `value` is empty.
QByteArray personWith(const std::string& key, const char* value) {
    auto json = nlohmann::json::parse(person.constData());
    if (*value) {
        json[key] = nlohmann::json::parse(value);
    } else {
        json.erase(key);
    }
    return QByteArray::fromStdString(json.dump());
}

} // namespace

TEST(JsonDecoding, DecodesAWholeRecordAfterTheKeyRule) {
    const auto result = JsonDecoder().decode<PersonDTO>(person);
    ASSERT_TRUE(result.ok()) << qPrintable(result.error());
    const auto& p = result.value();
    EXPECT_EQ(p.accountId, "a1");
    EXPECT_FALSE(p.emailAddress.has_value()) << "null is none";
    EXPECT_FALSE(p.created.has_value()) << "missing is none";
    EXPECT_EQ(p.count, 3);
    EXPECT_EQ(p.ratio, 1.0) << "a whole number is a fine floating-point value";
    EXPECT_TRUE(p.active);
    ASSERT_EQ(p.avatars.size(), 1u);
    EXPECT_EQ(p.avatars[0].url, "https://x/1.png");
    // The rule reaches the keys of maps too.
    EXPECT_EQ(p.links.count("selfUrl"), 1u);
}

TEST(JsonDecoding, FailsTheWholeRecordOnAnyMisfit) {
    const std::vector<std::pair<std::string, const char*>> misfits{
        {"account_id", ""},            // required and missing
        {"account_id", "null"},        // required and null
        {"account_id", "7"},           // a number is not text
        {"count", "\"3\""},            // text is not a number
        {"count", "1.5"},              // not whole
        {"count", "3000000000"},       // beyond an int
        {"count", "true"},             // a flag is not a number
        {"active", "1"},               // a number is not a flag
        {"ratio", "\"1\""},            // text is not a number
        {"avatars", "{}"},             // an object is not a list
        {"avatars", "[{\"url\": 1}]"}, // a misfit deep inside
        {"email_address", "5"},        // an optional that is there must fit
        {"links", "{\"a\": 1}"},
    };
    for (const auto& [key, value] : misfits) {
        const auto result = JsonDecoder().decode<PersonDTO>(personWith(key, value));
        EXPECT_FALSE(result.ok()) << key << " = " << value;
    }
    // The message says where.
    const auto deep = JsonDecoder().decode<PersonDTO>(personWith("avatars", "[{\"url\": 1}]"));
    ASSERT_FALSE(deep.ok());
    EXPECT_TRUE(deep.error().contains("avatars")) << qPrintable(deep.error());
    EXPECT_TRUE(deep.error().contains("[0]")) << qPrintable(deep.error());
    EXPECT_TRUE(deep.error().contains("url")) << qPrintable(deep.error());

    EXPECT_TRUE(JsonDecoder().decode<PersonDTO>(personWith("count", "3.0")).ok()) << "3.0 is the number 3";
    EXPECT_FALSE(JsonDecoder().decode<PersonDTO>("").ok());
    EXPECT_FALSE(JsonDecoder().decode<PersonDTO>("{\"account_id\": ").ok());
    EXPECT_FALSE(JsonDecoder().decode<PersonDTO>("[]").ok());
    EXPECT_FALSE(JsonDecoder().decode<PersonDTO>("{\"account_id\": \"\xff\"}").ok()) << "invalid UTF-8";
}

TEST(JsonDecoding, WholeNumbersKeepToTheirRange) {
    JsonDecoder decoder;
    EXPECT_EQ(decoder.decode<std::int64_t>("9223372036854775807").value(),
              std::numeric_limits<std::int64_t>::max());
    EXPECT_FALSE(decoder.decode<std::int64_t>("9223372036854775808").ok());
    EXPECT_FALSE(decoder.decode<std::uint32_t>("-1").ok());
    EXPECT_FALSE(decoder.decode<std::int64_t>("1e300").ok());
    EXPECT_EQ(decoder.decode<std::vector<int>>("[1, 2.0, -3]").value(), (std::vector<int>{1, 2, -3}));
}

TEST(JsonDecoding, RecordsWithTheirOwnReadersDecodeToo) {
    // The account credentials that the token refresh answers with.
    const auto result =
        JsonDecoder().decode<JiraProvider::Credentials>(R"({"token":"t2","refresh_token":"r2"})");
    ASSERT_TRUE(result.ok()) << qPrintable(result.error());
    EXPECT_EQ(result.value().token, "t2");
    EXPECT_EQ(result.value().refreshToken, "r2");
    EXPECT_FALSE(JsonDecoder().decode<JiraProvider::Credentials>(R"({"token":"t2"})").ok());
}

TEST(JsonKeys, ConvertsSnakeCaseLikeTheDecoder) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"created_at", "createdAt"},
        {"accountId", "accountId"},
        {"self", "self"},
        {"_links", "_links"},
        {"__private_key__", "__privateKey__"},
        {"user_ID", "userId"},
        {"URL_value", "urlValue"},
        {"a__b", "aB"},
        {"___", "___"},
        {"", ""},
        {"avatar_48x48", "avatar48X48"},
        {"image_60x60", "image60X60"},
        {"size_2x", "size2X"},
        {"time_spent_SECONDS", "timeSpentSeconds"},
        {"v2_api", "v2Api"},
        {"abc_1x_2y", "abc1X2Y"},
        {"_a_b_", "_aB_"},
        {"\xC3\x84rger_\xC3\xBC"
         "ber",
         "\xC3\xA4rger\xC3\x9C"
         "ber"},
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(camelCaseFromSnakeCase(in), out) << in;
    }

    auto tree =
        nlohmann::json::parse(R"({"outer_key": [{"inner_key": {"deep_key": 1}}], "plain": {"x_y": 2}})");
    convertKeysFromSnakeCase(tree);
    EXPECT_EQ(tree,
              nlohmann::json::parse(R"({"outerKey": [{"innerKey": {"deepKey": 1}}], "plain": {"xY": 2}})"));

    // Two keys that become one: the first in key order stays.
    for (const auto& [in, out] : std::vector<std::pair<const char*, const char*>>{
             {R"({"a_b": 1, "aB": 2})", R"({"aB": 2})"},
             {R"({"A_b": 1, "aB": 2})", R"({"aB": 1})"},
             {R"({"a_b": 1, "a__b": 2, "A_B": 3})", R"({"aB": 3})"},
             {R"({"a_b": 1, "a__b": 2, "z_y": 3})", R"({"aB": 2, "zY": 3})"},
             {R"({"_links": 1, "self_url": 2, "__x_y": 3})", R"({"_links": 1, "selfUrl": 2, "__xY": 3})"},
         }) {
        auto clash = nlohmann::json::parse(in);
        convertKeysFromSnakeCase(clash);
        EXPECT_EQ(clash, nlohmann::json::parse(out)) << in;
        // Converting while parsing settles clashes the same way, in either key order.
        const std::string text(in);
        EXPECT_EQ(parseWithKeyRule(text.data(), text.data() + text.size()), nlohmann::json::parse(out)) << in;
    }
    const std::string reversed =
        R"({"aB": {"k_k": [1, {"x_y": null}]}, "a_b": {"dropped_too": true}, "b": 1, "b": 2})";
    EXPECT_EQ(parseWithKeyRule(reversed.data(), reversed.data() + reversed.size()),
              nlohmann::json::parse(R"({"aB": {"kK": [1, {"xY": null}]}, "b": 2})"));
    const std::string broken = R"({"a_b": [1, 2)";
    EXPECT_THROW(parseWithKeyRule(broken.data(), broken.data() + broken.size()), nlohmann::json::parse_error);
}

TEST(JsonDecoding, ABodyNestedTooDeeplyFailsInsteadOfExhaustingTheStack) {
    const auto nested = [](int levels) {
        return "{\"outer_key\":" + QByteArray(levels, '[') + QByteArray(levels, ']') + "}";
    };
    // Deep, but within reason: decoded with its keys converted.
    const auto deep = JsonDecoder().decode<nlohmann::json>(nested(maxJsonNesting - 1));
    ASSERT_TRUE(deep.ok()) << qPrintable(deep.error());
    EXPECT_TRUE(deep.value().contains("outerKey"));

    // A body a million levels deep (a broken or hostile server) is a decode failure,
    // not a crash.
    const auto hostile = JsonDecoder().decode<nlohmann::json>(nested(1'000'000));
    ASSERT_FALSE(hostile.ok());
    EXPECT_TRUE(hostile.error().contains("nested")) << qPrintable(hostile.error());
}

TEST(JsonDecoding, SecondsSince1970) {
    JsonDecoder decoder(DateDecodingStrategy::SecondsSince1970);
    auto stamp = decoder.decode<StampDTO>(R"({"at": 1700000000})");
    ASSERT_TRUE(stamp.ok()) << qPrintable(stamp.error());
    EXPECT_EQ(stamp.value().at.toMSecsSinceEpoch(), 1'700'000'000'000);
    stamp = decoder.decode<StampDTO>(R"({"at": 1700000000.25})");
    ASSERT_TRUE(stamp.ok());
    EXPECT_EQ(stamp.value().at.toMSecsSinceEpoch(), 1'700'000'000'250);
    EXPECT_FALSE(decoder.decode<StampDTO>(R"({"at": "1700000000"})").ok());
    EXPECT_FALSE(decoder.decode<StampDTO>(R"({"at": 1e300})").ok()) << "beyond any calendar";
    // The ISO strategy does not read numbers.
    EXPECT_FALSE(JsonDecoder(DateDecodingStrategy::Iso8601WithFractionalSeconds)
                     .decode<StampDTO>(R"({"at": 1700000000})")
                     .ok());
}

TEST(JsonDecoding, Iso8601WithRequiredFractionalSeconds) {
    JsonDecoder decoder(DateDecodingStrategy::Iso8601WithFractionalSeconds);
    auto stamp = decoder.decode<StampDTO>(R"({"at": "2024-05-01T10:00:00.000Z"})");
    ASSERT_TRUE(stamp.ok()) << qPrintable(stamp.error());
    EXPECT_EQ(stamp.value().at, QDateTime(QDate(2024, 5, 1), QTime(10, 0), QTimeZone::utc()));

    stamp = decoder.decode<StampDTO>(R"({"at": "2024-05-01T10:00:00.123456+02:00"})");
    ASSERT_TRUE(stamp.ok()) << qPrintable(stamp.error());
    EXPECT_EQ(stamp.value().at, QDateTime(QDate(2024, 5, 1), QTime(8, 0, 0, 123), QTimeZone::utc()));

    const auto missingFraction = decoder.decode<StampDTO>(R"({"at": "2024-05-01T10:00:00Z"})");
    ASSERT_FALSE(missingFraction.ok());
    EXPECT_TRUE(missingFraction.error().contains("Invalid ISO 8601 date: 2024-05-01T10:00:00Z"))
        << qPrintable(missingFraction.error());

    for (const char* odd :
         {"2024-05-01T10:00:00.000", "2024-05-01T10:00:00.000+0200", "2024-02-30T10:00:00.000Z",
          "2024-05-01T24:00:00.000Z", "2024-05-01 10:00:00.000Z", "2024-05-01T10:00:00.Z",
          "2024-05-01T10:00:00.000Z "}) {
        EXPECT_FALSE(parseIso8601WithFractionalSeconds(odd).has_value()) << odd;
    }
}

TEST(JsonDecoding, DatesNeedADecoder) {
    // Outside a decoder no strategy is in effect, so no date is guessed.
    EXPECT_THROW(wire::decode<QDateTime>(nlohmann::json(1700000000)), wire::DecodeError);
}

TEST(JsonBody, RefusesWhatJsonCannotCarry) {
    EXPECT_EQ(encodeJsonBody(nlohmann::json{{"a", 1}}).value(), R"({"a":1})");
    EXPECT_FALSE(encodeJsonBody(nlohmann::json{{"a", std::nan("")}}).ok());
    EXPECT_FALSE(encodeJsonBody(nlohmann::json{{"a", {1.0, std::numeric_limits<double>::infinity()}}}).ok());
    EXPECT_FALSE(encodeJsonBody(nlohmann::json{{"a", std::string("\xff\xfe")}}).ok());

    nlohmann::json body;
    wire::put(body, "comment", std::optional<QString>());
    wire::put(body, "text", QStringLiteral("ü"));
    EXPECT_EQ(encodeJsonBody(body).value(), "{\"text\":\"\xC3\xBC\"}") << "an absent optional writes no key";
}
