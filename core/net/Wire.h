#pragma once

#include "core/net/DateDecodingStrategy.h"
#include "core/net/JsonReader.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

// The strict decode layer of the wire records (the JSON of the trackers and of the
// maker's server). A record decodes whole or not at all: a required field that is
// missing, null or of the wrong kind fails the response; an optional field that is
// missing or null is none; keys nobody asks for are ignored.
//
// A wire record brings a `from_json` found by argument-dependent lookup and reads its
// fields with `wire::field`, which applies these rules at every depth:
//
//   struct JiraUserDTO {
//       QString accountId;
//       std::optional<QString> emailAddress;
//       std::vector<JiraGroupDTO> groups;
//       QDateTime created;               // by the decoder's date strategy
//   };
//   inline void from_json(const nlohmann::json& j, JiraUserDTO& v) {
//       wire::field(j, "accountId", v.accountId);
//       wire::field(j, "emailAddress", v.emailAddress); // optional: may be missing or null
//       wire::field(j, "groups", v.groups);
//       wire::field(j, "created", v.created);
//   }
//
// Keys are the camelCase names after the snake_case rule (JsonKeys.h); JsonDecoder
// applies it before decoding. Strict kinds: text is only a JSON string, a whole number
// only an integral JSON number within the field's range, a floating-point number any
// JSON number, a flag only true or false.
namespace velmora::wire {

// A value that does not fit its field. The message names the path of keys.
struct DecodeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The date strategy in effect for QDateTime fields on this thread while a JsonDecoder
// decodes; outside one, decoding a date fails.
class DateStrategyScope {
public:
    explicit DateStrategyScope(DateDecodingStrategy strategy);
    ~DateStrategyScope();
    DateStrategyScope(const DateStrategyScope&) = delete;
    DateStrategyScope& operator=(const DateStrategyScope&) = delete;

    static std::optional<DateDecodingStrategy> current();

private:
    std::optional<DateDecodingStrategy> m_previous;
};

QString decodeText(const nlohmann::json& json);
QDateTime decodeDate(const nlohmann::json& json);

namespace detail {
template <typename T> struct IsOptional : std::false_type {};
template <typename T> struct IsOptional<std::optional<T>> : std::true_type {};
template <typename T> struct IsSequence : std::false_type {};
template <typename T, typename A> struct IsSequence<std::vector<T, A>> : std::true_type {};
template <typename T> struct IsSequence<QList<T>> : std::true_type {};
template <typename T> struct IsTextMap : std::false_type {};
template <typename T, typename C, typename A>
struct IsTextMap<std::map<std::string, T, C, A>> : std::true_type {};
template <typename T, typename C, typename A>
struct IsTextMap<std::map<QString, T, C, A>> : std::true_type {};

[[noreturn]] void fail(const std::string& message);
std::string kindName(const nlohmann::json& json);
} // namespace detail

// Decodes one value strictly (see above); records go through their `from_json`.
template <typename T> T decode(const nlohmann::json& json) {
    if constexpr (std::is_same_v<T, nlohmann::json>) {
        return json;
    } else if constexpr (std::is_same_v<T, bool>) {
        if (!json.is_boolean()) {
            detail::fail("expected true or false, found " + detail::kindName(json));
        }
        return json.get<bool>();
    } else if constexpr (std::is_integral_v<T>) {
        if (json.is_number_unsigned()) {
            const auto value = json.get<std::uint64_t>();
            if (value > static_cast<std::uint64_t>(std::numeric_limits<T>::max())) {
                detail::fail("whole number out of range");
            }
            return static_cast<T>(value);
        }
        if (json.is_number_integer()) {
            const auto value = json.get<std::int64_t>();
            if constexpr (std::is_unsigned_v<T>) {
                if (value < 0) {
                    detail::fail("whole number out of range");
                }
                if (static_cast<std::uint64_t>(value) >
                    static_cast<std::uint64_t>(std::numeric_limits<T>::max())) {
                    detail::fail("whole number out of range");
                }
            } else if (value < static_cast<std::int64_t>(std::numeric_limits<T>::min()) ||
                       value > static_cast<std::int64_t>(std::numeric_limits<T>::max())) {
                detail::fail("whole number out of range");
            }
            return static_cast<T>(value);
        }
        if (json.is_number_float()) {
            // "3.0" is the whole number 3; "3.5" is not a whole number at all.
            const double value = json.get<double>();
            const double upper = std::ldexp(1.0, std::numeric_limits<T>::digits); // one past the largest
            const double lower = std::is_signed_v<T> ? -upper : 0.0;
            if (std::trunc(value) == value && value >= lower && value < upper) {
                return static_cast<T>(value);
            }
            detail::fail("expected a whole number, found a fraction or one out of range");
        }
        detail::fail("expected a whole number, found " + detail::kindName(json));
    } else if constexpr (std::is_floating_point_v<T>) {
        if (!json.is_number()) {
            detail::fail("expected a number, found " + detail::kindName(json));
        }
        return json.get<T>();
    } else if constexpr (std::is_same_v<T, QString>) {
        return decodeText(json);
    } else if constexpr (std::is_same_v<T, std::string>) {
        return decodeText(json).toStdString();
    } else if constexpr (std::is_same_v<T, QDateTime>) {
        return decodeDate(json);
    } else if constexpr (detail::IsOptional<T>::value) {
        if (json.is_null()) {
            return std::nullopt;
        }
        return decode<typename T::value_type>(json);
    } else if constexpr (detail::IsSequence<T>::value) {
        if (!json.is_array()) {
            detail::fail("expected a list, found " + detail::kindName(json));
        }
        T out;
        out.reserve(static_cast<decltype(out.size())>(json.size()));
        std::size_t index = 0;
        for (const auto& element : json) {
            try {
                out.push_back(decode<typename T::value_type>(element));
            } catch (const std::exception& e) {
                detail::fail("[" + std::to_string(index) + "]: " + e.what());
            }
            ++index;
        }
        return out;
    } else if constexpr (detail::IsTextMap<T>::value) {
        if (!json.is_object()) {
            detail::fail("expected an object, found " + detail::kindName(json));
        }
        T out;
        for (auto it = json.begin(); it != json.end(); ++it) {
            try {
                auto value = decode<typename T::mapped_type>(it.value());
                if constexpr (std::is_same_v<typename T::key_type, QString>) {
                    out.emplace(QString::fromStdString(it.key()), std::move(value));
                } else {
                    out.emplace(it.key(), std::move(value));
                }
            } catch (const std::exception& e) {
                detail::fail("\"" + it.key() + "\": " + e.what());
            }
        }
        return out;
    } else if constexpr (std::is_default_constructible_v<T> && requires(T & v) { from_json(json, v); }) {
        T value{};
        from_json(json, value); // the record's own reader, found by argument-dependent lookup
        return value;
    } else {
        return json.get<T>();
    }
}

// Reads `key` of the object `json` into `out`: required unless `out` is a
// std::optional, which a missing or null value leaves none.
template <typename T> void field(const nlohmann::json& json, const char* key, T& out) {
    if (!json.is_object()) {
        detail::fail(std::string("expected an object holding \"") + key + "\", found " +
                     detail::kindName(json));
    }
    const auto it = json.find(key);
    if (it == json.end()) {
        if constexpr (detail::IsOptional<T>::value) {
            out = std::nullopt;
            return;
        } else {
            detail::fail(std::string("missing key \"") + key + "\"");
        }
    }
    try {
        out = decode<T>(*it);
    } catch (const std::exception& e) {
        detail::fail(std::string("\"") + key + "\": " + e.what());
    }
}

// The value of `key` as T (see `field`).
template <typename T> T field(const nlohmann::json& json, const char* key) {
    T out{};
    field(json, key, out);
    return out;
}

// --- decoding straight from the text -------------------------------------------------
//
// A record may also bring a `read_json(JsonReader&, T&)`, found by argument-dependent
// lookup, that reads the same fields under the same rules straight from the text
// (JsonDecoder tries it first and falls back to the tree whenever the reader is unsure
// or anything fails, so both roads always agree):
//
//   inline void read_json(JsonReader& r, JiraUserDTO& v) {
//       wire::readObject(r, {wire::member("accountId", v.accountId),
//                            wire::member("emailAddress", v.emailAddress)});
//   }
//
// Keys are matched after the snake_case rule; a member met twice (also as two keys that
// the rule makes one) is left to the tree, whose rule for that case holds.

template <typename T> constexpr bool readable();

// Decodes one value strictly from the reader (the rules of `decode`).
template <typename T> T read(JsonReader& reader) {
    if constexpr (std::is_same_v<T, bool>) {
        return reader.readBoolean();
    } else if constexpr (std::is_integral_v<T>) {
        const std::int64_t value = reader.readInteger();
        if constexpr (!std::is_same_v<T, std::int64_t>) {
            if (value < static_cast<std::int64_t>(std::numeric_limits<T>::min()) ||
                static_cast<std::uint64_t>(value) >
                    static_cast<std::uint64_t>(std::numeric_limits<T>::max())) {
                throw JsonReader::Unsure("whole number out of range");
            }
        }
        return static_cast<T>(value);
    } else if constexpr (std::is_floating_point_v<T>) {
        return static_cast<T>(reader.readDouble());
    } else if constexpr (std::is_same_v<T, QString>) {
        return reader.readString();
    } else if constexpr (std::is_same_v<T, QDateTime>) {
        const auto strategy = DateStrategyScope::current();
        if (!strategy) {
            detail::fail("no date strategy in effect");
        }
        std::optional<QDateTime> date;
        if (*strategy == DateDecodingStrategy::SecondsSince1970) {
            date = dateFromSecondsSince1970(reader.readDouble());
        } else {
            date = parseIso8601WithFractionalSeconds(reader.readUtf8());
        }
        if (!date) {
            detail::fail("not a date");
        }
        return *date;
    } else if constexpr (detail::IsOptional<T>::value) {
        if (reader.readNull()) {
            return std::nullopt;
        }
        return read<typename T::value_type>(reader);
    } else if constexpr (detail::IsSequence<T>::value) {
        T out;
        reader.beginArray();
        while (reader.nextElement()) {
            out.push_back(read<typename T::value_type>(reader));
        }
        return out;
    } else {
        static_assert(readable<T>(), "no read_json for this type");
        T value{};
        read_json(reader, value);
        return value;
    }
}

// Whether T can be read straight from the text: the kinds above, and records with a
// `read_json`.
template <typename T> constexpr bool readable() {
    if constexpr (std::is_same_v<T, bool> || std::is_arithmetic_v<T> || std::is_same_v<T, QString> ||
                  std::is_same_v<T, QDateTime>) {
        return true;
    } else if constexpr (detail::IsOptional<T>::value || detail::IsSequence<T>::value) {
        return readable<typename T::value_type>();
    } else {
        return requires(JsonReader & r, T & v) {
            read_json(r, v);
        };
    }
}

// One member of a record for `readObject`: its key, where it goes, and whether it
// must be there (any std::optional may be missing).
struct Member {
    const char* key;
    void (*read)(JsonReader&, void*);
    void* target;
    bool required;
};

template <typename T> Member member(const char* key, T& out) {
    return Member{key,
                  [](JsonReader& reader, void* target) { *static_cast<T*>(target) = wire::read<T>(reader); },
                  &out, !detail::IsOptional<T>::value};
}

// Reads an object into its members; keys nobody asks for are read over.
void readObject(JsonReader& reader, std::initializer_list<Member> members);

// Writes `value` under `key`; an absent optional writes nothing (no key, no null).
template <typename T> void put(nlohmann::json& json, const char* key, const T& value) {
    if constexpr (detail::IsOptional<T>::value) {
        if (value) {
            put(json, key, *value);
        }
    } else if constexpr (std::is_same_v<T, QString>) {
        json[key] = value.toStdString();
    } else {
        json[key] = value;
    }
}

} // namespace velmora::wire

// So that nlohmann's own `get<T>()` and conversions follow the same rules for text,
// optionals and dates (records written in nlohmann's style keep working).
namespace nlohmann {
template <> struct adl_serializer<QString> {
    template <typename Json> static void from_json(const Json& json, QString& value) {
        if (!json.is_string()) {
            throw velmora::wire::DecodeError("expected text");
        }
        value = QString::fromStdString(json.template get_ref<const std::string&>());
    }
    template <typename Json> static void to_json(Json& json, const QString& value) {
        json = value.toStdString();
    }
};

template <typename T> struct adl_serializer<std::optional<T>> {
    template <typename Json> static void from_json(const Json& json, std::optional<T>& value) {
        if (json.is_null()) {
            value = std::nullopt;
        } else {
            value = json.template get<T>();
        }
    }
    template <typename Json> static void to_json(Json& json, const std::optional<T>& value) {
        if (value) {
            json = *value;
        } else {
            json = nullptr;
        }
    }
};

template <> struct adl_serializer<QDateTime> {
    static void from_json(const json& json, QDateTime& value) { value = velmora::wire::decodeDate(json); }
};
} // namespace nlohmann
