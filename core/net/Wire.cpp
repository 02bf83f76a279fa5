#include "core/net/Wire.h"

#include "core/net/JsonKeys.h"

#include <cstring>

namespace velmora::wire {

namespace {
thread_local std::optional<DateDecodingStrategy> activeStrategy;
} // namespace

DateStrategyScope::DateStrategyScope(DateDecodingStrategy strategy) : m_previous(activeStrategy) {
    activeStrategy = strategy;
}

DateStrategyScope::~DateStrategyScope() {
    activeStrategy = m_previous;
}

std::optional<DateDecodingStrategy> DateStrategyScope::current() {
    return activeStrategy;
}

namespace detail {

void fail(const std::string& message) {
    throw DecodeError(message);
}

std::string kindName(const nlohmann::json& json) {
    switch (json.type()) {
    case nlohmann::json::value_t::null:
        return "null";
    case nlohmann::json::value_t::boolean:
        return "a flag";
    case nlohmann::json::value_t::string:
        return "text";
    case nlohmann::json::value_t::number_integer:
    case nlohmann::json::value_t::number_unsigned:
        return "a whole number";
    case nlohmann::json::value_t::number_float:
        return "a number";
    case nlohmann::json::value_t::array:
        return "a list";
    case nlohmann::json::value_t::object:
        return "an object";
    default:
        return "something else";
    }
}

} // namespace detail

void readObject(JsonReader& reader, std::initializer_list<Member> members) {
    if (members.size() > 64) {
        throw JsonReader::Unsure("too many members");
    }
    std::uint64_t seen = 0;
    std::string key;
    reader.beginObject();
    while (reader.nextKey(key)) {
        if (key.find('_') != std::string::npos) {
            key = camelCaseFromSnakeCase(key);
        }
        std::size_t index = 0;
        const Member* found = nullptr;
        for (const Member& m : members) {
            if (std::strcmp(m.key, key.c_str()) == 0 && key.size() == std::strlen(m.key)) {
                found = &m;
                break;
            }
            ++index;
        }
        if (!found) {
            reader.skipValue();
            continue;
        }
        const std::uint64_t bit = std::uint64_t{1} << index;
        if (seen & bit) {
            throw JsonReader::Unsure("a member met twice");
        }
        seen |= bit;
        found->read(reader, found->target);
    }
    std::size_t index = 0;
    for (const Member& m : members) {
        if (m.required && !(seen & (std::uint64_t{1} << index))) {
            detail::fail(std::string("missing key \"") + m.key + "\"");
        }
        ++index;
    }
}

QString decodeText(const nlohmann::json& json) {
    if (!json.is_string()) {
        detail::fail("expected text, found " + detail::kindName(json));
    }
    return QString::fromStdString(json.get_ref<const std::string&>());
}

QDateTime decodeDate(const nlohmann::json& json) {
    const auto strategy = DateStrategyScope::current();
    if (!strategy) {
        detail::fail("no date strategy in effect");
    }
    switch (*strategy) {
    case DateDecodingStrategy::SecondsSince1970: {
        if (!json.is_number()) {
            detail::fail("expected seconds since 1970, found " + detail::kindName(json));
        }
        if (auto date = dateFromSecondsSince1970(json.get<double>())) {
            return *date;
        }
        detail::fail("date out of range");
    }
    case DateDecodingStrategy::Iso8601WithFractionalSeconds: {
        if (!json.is_string()) {
            detail::fail("expected an ISO 8601 date, found " + detail::kindName(json));
        }
        const auto& text = json.get_ref<const std::string&>();
        if (auto date = parseIso8601WithFractionalSeconds(text)) {
            return *date;
        }
        detail::fail("Invalid ISO 8601 date: " + text);
    }
    }
    detail::fail("unknown date strategy");
}

} // namespace velmora::wire
