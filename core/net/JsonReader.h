#pragma once

#include <QString>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace velmora {

// A pull reader over JSON text, for decoding a response straight into its wire record
// without building a tree first (see wire::read in Wire.h).
//
// It is strict where the tree parser is strict (grammar, UTF-8, nesting) and gives up
// where the two could disagree: anything it does not take on (a byte-order mark, a
// whole number written with a fraction or exponent, an integer beyond 64 bits, nesting
// near the limit) throws `Unsure`, and so does every malformed input. The caller then
// decodes the same text through the tree, whose answer holds; a reader that finishes
// without throwing has read exactly what the tree would hold.
class JsonReader {
public:
    // The reader cannot vouch for the outcome; decode through the tree instead.
    struct Unsure : std::runtime_error {
        using std::runtime_error::runtime_error;
    };

    enum class Kind { Null, Boolean, Number, String, Array, Object };

    JsonReader(const char* first, const char* last);

    // The kind of the next value (white space skipped).
    Kind peek();

    // Consumes `null` and yields true when the next value is null; otherwise false.
    bool readNull();
    bool readBoolean();
    // A whole number in plain integer form within 64 bits.
    std::int64_t readInteger();
    // Any number.
    double readDouble();
    // A string's text, as UTF-8 (keys) or as a QString (values).
    std::string readUtf8();
    QString readString();

    // Objects: `beginObject()`, then `nextKey(key)` until it yields false (the closing
    // brace consumed), reading or skipping each member's value in between.
    void beginObject();
    bool nextKey(std::string& key);
    // Arrays: `beginArray()`, then `nextElement()` before each element until false.
    void beginArray();
    bool nextElement();

    // Reads over one value of any kind, checking it as strictly as the rest.
    void skipValue();
    // Only white space may follow the top-level value.
    void finish();

private:
    [[noreturn]] void unsure(const char* why) const;
    void skipWhitespace();
    char next();
    void expect(char c);
    void literal(std::string_view word);
    // The extent of a number's text, checked against the JSON grammar; tells whether
    // it has a fraction or an exponent.
    std::string_view numberText(bool& integral);
    // Appends a string's contents (after the opening quote) as UTF-8 to `out`, checked.
    void stringBody(std::string* out);
    void enter();
    void leave() { --m_depth; }

    const char* m_pos;
    const char* m_end;
    int m_depth = 0;
    // Per open container: whether the next member or element needs a comma first.
    std::string m_needComma;
};

} // namespace velmora
