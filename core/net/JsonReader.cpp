#include "core/net/JsonReader.h"

#include "core/net/JsonKeys.h"

#include <charconv>
#include <cstring>

namespace velmora {

namespace {

// Nesting beyond this is left to the tree, which refuses it at `maxJsonNesting`.
constexpr int deepestNesting = maxJsonNesting - 8;

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

void appendUtf8(std::string& out, char32_t code) {
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code >> 6)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

} // namespace

JsonReader::JsonReader(const char* first, const char* last) : m_pos(first), m_end(last) {
    if (m_end - m_pos >= 3 && std::memcmp(m_pos, "\xEF\xBB\xBF", 3) == 0) {
        unsure("byte-order mark");
    }
}

void JsonReader::unsure(const char* why) const {
    throw Unsure(why);
}

void JsonReader::skipWhitespace() {
    while (m_pos != m_end && (*m_pos == ' ' || *m_pos == '\n' || *m_pos == '\r' || *m_pos == '\t')) {
        ++m_pos;
    }
}

char JsonReader::next() {
    if (m_pos == m_end) {
        unsure("unexpected end");
    }
    return *m_pos++;
}

void JsonReader::expect(char c) {
    skipWhitespace();
    if (next() != c) {
        unsure("unexpected character");
    }
}

void JsonReader::literal(std::string_view word) {
    if (static_cast<std::size_t>(m_end - m_pos) < word.size() ||
        std::string_view(m_pos, word.size()) != word) {
        unsure("bad literal");
    }
    m_pos += word.size();
}

JsonReader::Kind JsonReader::peek() {
    skipWhitespace();
    if (m_pos == m_end) {
        unsure("unexpected end");
    }
    switch (*m_pos) {
    case 'n':
        return Kind::Null;
    case 't':
    case 'f':
        return Kind::Boolean;
    case '"':
        return Kind::String;
    case '[':
        return Kind::Array;
    case '{':
        return Kind::Object;
    default:
        if (*m_pos == '-' || isDigit(*m_pos)) {
            return Kind::Number;
        }
        unsure("not a value");
    }
}

bool JsonReader::readNull() {
    if (peek() != Kind::Null) {
        return false;
    }
    literal("null");
    return true;
}

bool JsonReader::readBoolean() {
    if (peek() != Kind::Boolean) {
        unsure("expected true or false");
    }
    if (*m_pos == 't') {
        literal("true");
        return true;
    }
    literal("false");
    return false;
}

std::string_view JsonReader::numberText(bool& integral) {
    if (peek() != Kind::Number) {
        unsure("expected a number");
    }
    const char* start = m_pos;
    if (*m_pos == '-') {
        ++m_pos;
    }
    if (m_pos == m_end || !isDigit(*m_pos)) {
        unsure("bad number");
    }
    if (*m_pos == '0') {
        ++m_pos;
    } else {
        while (m_pos != m_end && isDigit(*m_pos)) {
            ++m_pos;
        }
    }
    integral = true;
    if (m_pos != m_end && *m_pos == '.') {
        integral = false;
        ++m_pos;
        if (m_pos == m_end || !isDigit(*m_pos)) {
            unsure("bad fraction");
        }
        while (m_pos != m_end && isDigit(*m_pos)) {
            ++m_pos;
        }
    }
    if (m_pos != m_end && (*m_pos == 'e' || *m_pos == 'E')) {
        integral = false;
        ++m_pos;
        if (m_pos != m_end && (*m_pos == '+' || *m_pos == '-')) {
            ++m_pos;
        }
        if (m_pos == m_end || !isDigit(*m_pos)) {
            unsure("bad exponent");
        }
        while (m_pos != m_end && isDigit(*m_pos)) {
            ++m_pos;
        }
    }
    return std::string_view(start, static_cast<std::size_t>(m_pos - start));
}

std::int64_t JsonReader::readInteger() {
    bool integral = false;
    const std::string_view text = numberText(integral);
    if (!integral) {
        // "3.0" may still be the whole number 3; the tree knows its rule.
        unsure("not in integer form");
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        unsure("integer out of range");
    }
    return value;
}

double JsonReader::readDouble() {
    bool integral = false;
    const std::string_view text = numberText(integral);
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        unsure("number out of range");
    }
    return value;
}

void JsonReader::stringBody(std::string* out) {
    while (true) {
        if (m_pos == m_end) {
            unsure("unterminated string");
        }
        const auto c = static_cast<unsigned char>(*m_pos);
        if (c == '"') {
            ++m_pos;
            return;
        }
        if (c < 0x20) {
            unsure("control character in a string");
        }
        if (c == '\\') {
            ++m_pos;
            const char escape = next();
            char plain = 0;
            switch (escape) {
            case '"':
                plain = '"';
                break;
            case '\\':
                plain = '\\';
                break;
            case '/':
                plain = '/';
                break;
            case 'b':
                plain = '\b';
                break;
            case 'f':
                plain = '\f';
                break;
            case 'n':
                plain = '\n';
                break;
            case 'r':
                plain = '\r';
                break;
            case 't':
                plain = '\t';
                break;
            case 'u': {
                auto hex4 = [this] {
                    if (m_end - m_pos < 4) {
                        unsure("short escape");
                    }
                    int code = 0;
                    for (int i = 0; i < 4; ++i) {
                        const int digit = hexValue(m_pos[i]);
                        if (digit < 0) {
                            unsure("bad escape");
                        }
                        code = code * 16 + digit;
                    }
                    m_pos += 4;
                    return static_cast<char32_t>(code);
                };
                char32_t code = hex4();
                if (code >= 0xDC00 && code <= 0xDFFF) {
                    unsure("lone low surrogate");
                }
                if (code >= 0xD800 && code <= 0xDBFF) {
                    if (m_end - m_pos < 2 || m_pos[0] != '\\' || m_pos[1] != 'u') {
                        unsure("lone high surrogate");
                    }
                    m_pos += 2;
                    const char32_t low = hex4();
                    if (low < 0xDC00 || low > 0xDFFF) {
                        unsure("bad surrogate pair");
                    }
                    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                }
                if (out) {
                    appendUtf8(*out, code);
                }
                continue;
            }
            default:
                unsure("bad escape");
            }
            if (out) {
                out->push_back(plain);
            }
            continue;
        }
        if (c < 0x80) {
            const char* run = m_pos;
            while (m_pos != m_end && static_cast<unsigned char>(*m_pos) >= 0x20 &&
                   static_cast<unsigned char>(*m_pos) < 0x80 && *m_pos != '"' && *m_pos != '\\') {
                ++m_pos;
            }
            if (out) {
                out->append(run, m_pos);
            }
            continue;
        }
        // A multi-byte sequence, well formed as UTF-8 allows it (no overlong forms, no
        // surrogates, nothing beyond U+10FFFF).
        int length = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            low = c == 0xE0 ? 0xA0 : 0x80;
            high = c == 0xED ? 0x9F : 0xBF;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            low = c == 0xF0 ? 0x90 : 0x80;
            high = c == 0xF4 ? 0x8F : 0xBF;
        } else {
            unsure("invalid UTF-8");
        }
        if (m_end - m_pos < length) {
            unsure("invalid UTF-8");
        }
        for (int i = 1; i < length; ++i) {
            const auto b = static_cast<unsigned char>(m_pos[i]);
            if (b < (i == 1 ? low : 0x80) || b > (i == 1 ? high : 0xBF)) {
                unsure("invalid UTF-8");
            }
        }
        if (out) {
            out->append(m_pos, static_cast<std::size_t>(length));
        }
        m_pos += length;
    }
}

std::string JsonReader::readUtf8() {
    if (peek() != Kind::String) {
        unsure("expected text");
    }
    ++m_pos;
    std::string text;
    stringBody(&text);
    return text;
}

QString JsonReader::readString() {
    if (peek() != Kind::String) {
        unsure("expected text");
    }
    ++m_pos;
    // Most texts hold no escape: they are checked where they lie and converted once.
    const char* start = m_pos;
    const char* scan = m_pos;
    while (scan != m_end && *scan != '"' && *scan != '\\') {
        ++scan;
    }
    if (scan != m_end && *scan == '"') {
        stringBody(nullptr);
        return QString::fromUtf8(start, static_cast<qsizetype>(m_pos - 1 - start));
    }
    std::string text;
    stringBody(&text);
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

void JsonReader::enter() {
    if (++m_depth >= deepestNesting) {
        unsure("nested too deep");
    }
}

void JsonReader::beginObject() {
    if (peek() != Kind::Object) {
        unsure("expected an object");
    }
    ++m_pos;
    enter();
    m_needComma.push_back('\0');
}

bool JsonReader::nextKey(std::string& key) {
    skipWhitespace();
    if (m_pos != m_end && *m_pos == '}') {
        ++m_pos;
        m_needComma.pop_back();
        leave();
        return false;
    }
    if (m_needComma.back()) {
        expect(',');
        skipWhitespace();
    }
    if (m_pos == m_end || *m_pos != '"') {
        unsure("expected a key");
    }
    ++m_pos;
    key.clear();
    stringBody(&key);
    expect(':');
    m_needComma.back() = '\1';
    return true;
}

void JsonReader::beginArray() {
    if (peek() != Kind::Array) {
        unsure("expected a list");
    }
    ++m_pos;
    enter();
    m_needComma.push_back('\0');
}

bool JsonReader::nextElement() {
    skipWhitespace();
    if (m_pos != m_end && *m_pos == ']') {
        ++m_pos;
        m_needComma.pop_back();
        leave();
        return false;
    }
    if (m_needComma.back()) {
        expect(',');
    }
    m_needComma.back() = '\1';
    return true;
}

void JsonReader::skipValue() {
    switch (peek()) {
    case Kind::Null:
        literal("null");
        return;
    case Kind::Boolean:
        readBoolean();
        return;
    case Kind::Number:
        // Checked for range as well: a number beyond any double is the tree's to judge.
        readDouble();
        return;
    case Kind::String:
        ++m_pos;
        stringBody(nullptr);
        return;
    case Kind::Array:
        beginArray();
        while (nextElement()) {
            skipValue();
        }
        return;
    case Kind::Object: {
        beginObject();
        std::string key;
        while (nextKey(key)) {
            skipValue();
        }
        return;
    }
    }
}

void JsonReader::finish() {
    skipWhitespace();
    if (m_pos != m_end) {
        unsure("text after the value");
    }
}

} // namespace velmora
