#include "core/net/JsonDecoder.h"

#include <gtest/gtest.h>

#include <string>

using namespace velmora;

namespace {

struct TagDTO {
    QString name;
    friend bool operator==(const TagDTO&, const TagDTO&) = default;
};
void from_json(const nlohmann::json& j, TagDTO& v) {
    wire::field(j, "name", v.name);
}
void read_json(JsonReader& r, TagDTO& v) {
    wire::readObject(r, {wire::member("name", v.name)});
}

struct ItemDTO {
    QString id;
    std::optional<QString> note;
    std::int64_t minutes = 0;
    double share = 0;
    bool done = false;
    std::optional<QDateTime> at;
    std::vector<TagDTO> tags;
    friend bool operator==(const ItemDTO&, const ItemDTO&) = default;
};
void from_json(const nlohmann::json& j, ItemDTO& v) {
    wire::field(j, "id", v.id);
    wire::field(j, "note", v.note);
    wire::field(j, "spentMinutes", v.minutes);
    wire::field(j, "share", v.share);
    wire::field(j, "done", v.done);
    wire::field(j, "at", v.at);
    wire::field(j, "tags", v.tags);
}
void read_json(JsonReader& r, ItemDTO& v) {
    wire::readObject(r,
                     {wire::member("id", v.id), wire::member("note", v.note),
                      wire::member("spentMinutes", v.minutes), wire::member("share", v.share),
                      wire::member("done", v.done), wire::member("at", v.at), wire::member("tags", v.tags)});
}

using Items = std::vector<ItemDTO>;

// The reader alone: its record, or none when it is unsure or the text is wrong.
std::optional<Items> readStraight(const std::string& text) {
    try {
        wire::DateStrategyScope scope(DateDecodingStrategy::SecondsSince1970);
        JsonReader reader(text.data(), text.data() + text.size());
        Items items = wire::read<Items>(reader);
        reader.finish();
        return items;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

Result<Items, QString> throughTree(const std::string& text) {
    const JsonDecoder decoder(DateDecodingStrategy::SecondsSince1970);
    try {
        return decoder.decodeTree<Items>(decoder.parse(QByteArray::fromStdString(text)));
    } catch (const std::exception& e) {
        return Result<Items, QString>::failure(QString::fromUtf8(e.what()));
    }
}

std::string item(const std::string& members) {
    return R"([{"id":"1","spent_minutes":5,"share":0.5,"done":true,"tags":[])" + members + "}]";
}

} // namespace

TEST(JsonReaderTest, ReadsStraightIntoTheRecordWhatTheTreeWouldHold) {
    const std::string texts[] = {
        item(""),
        item(R"(,"note":null,"at":1700000000.25)"),
        // Escapes, a surrogate pair, text beyond ASCII, keys not read, nesting skipped.
        item(
            R"(,"note":"a\"b\\c\/\n\t\u00e9\ud83d\ude00 Ünïcødé 東京","x":{"y":[1,2.5e3,-0,"z",null,true]})"),
        R"( [ {"tags":[{"name":"ä","extra":{}}],"done":false,"share":3,"spent_minutes":-9223372036854775808,"id":""} ] )",
        "[]",
    };
    for (const std::string& text : texts) {
        const auto straight = readStraight(text);
        const auto tree = throughTree(text);
        ASSERT_TRUE(tree.ok()) << text << ": " << tree.error().toStdString();
        ASSERT_TRUE(straight.has_value()) << text;
        EXPECT_EQ(*straight, tree.value()) << text;
        // And the decoder, which takes that road, agrees.
        EXPECT_EQ(JsonDecoder().decode<Items>(QByteArray::fromStdString(text)).value(), tree.value()) << text;
    }
}

TEST(JsonReaderTest, WhateverTheReaderIsUnsureOfTheTreeDecides) {
    const std::string texts[] = {
        // Decoded alike by the tree, whose rules the reader leaves to it.
        item(R"(,"spentMinutes":7)"),                   // two keys the key rule makes one
        item(R"(,"note":"a","note":"b")"),              // one key twice: the later value
        item("").replace(item("").find("5"), 1, "5.0"), // a whole number with a fraction
        "\xEF\xBB\xBF" + item(""),                      // a byte-order mark
        // Failing alike.
        item(R"(,"note":"\ud800")"),              // a lone surrogate
        item(",\"note\":\"\xC3\x28\""),           // not UTF-8
        item(",\"note\":\"\xED\xA0\x80\""),       // a surrogate written as UTF-8
        item(R"(,"note":"tab	inside")"),       // a control character
        item(R"(,"x":01)"),                       // a leading zero
        item(R"(,"x":1e400)"),                    // a number beyond any double, even unread
        item(R"(,"x":[1,])"),                     // a trailing comma
        item("") + " x",                          // text after the value
        std::string(R"([{"id":"1","tags":[]}])"), // members missing
        item(R"(,"note":5)"),                     // a value of the wrong kind
        item(R"(,"x":)") + std::string(600, '[') + std::string(600, ']'), // nested too deep
        R"([{"id":"1","spent_minutes":99999999999999999999,"share":0,"done":true,"tags":[]}])",
        "",
    };
    for (const std::string& text : texts) {
        EXPECT_FALSE(readStraight(text).has_value()) << text;
        const auto tree = throughTree(text);
        const auto decoded = JsonDecoder().decode<Items>(QByteArray::fromStdString(text));
        ASSERT_EQ(decoded.ok(), tree.ok()) << text;
        if (tree.ok()) {
            EXPECT_EQ(decoded.value(), tree.value()) << text;
        }
    }
    // The three the tree takes ("spentMinutes" comes before "spent_minutes" in key order).
    EXPECT_EQ(JsonDecoder()
                  .decode<Items>(QByteArray::fromStdString(item(R"(,"spentMinutes":7)")))
                  .value()[0]
                  .minutes,
              7);
    EXPECT_EQ(JsonDecoder()
                  .decode<Items>(QByteArray::fromStdString(item(R"(,"note":"a","note":"b")")))
                  .value()[0]
                  .note,
              u"b");
    EXPECT_TRUE(JsonDecoder().decode<Items>(QByteArray::fromStdString("\xEF\xBB\xBF" + item(""))).ok());
}
