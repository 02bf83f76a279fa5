#pragma once

#include "platform/async/Result.h"

#include <QString>

#include <nlohmann/json.hpp>

#include <exception>
#include <optional>
#include <stdexcept>
#include <string>

namespace velmora {

// A coded form that does not fit its record (besides nlohmann's own errors for a
// missing key or a value of the wrong kind).
struct CodingError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Decodes a record without throwing: the record, or the coder's message. Decoding is
// strict: a missing required key or a value of the wrong kind fails the whole record.
template <typename T, typename Json> Result<T, QString> decodeJson(const Json& json) {
    try {
        return Result<T, QString>::success(json.template get<T>());
    } catch (const std::exception& e) {
        return Result<T, QString>::failure(QString::fromUtf8(e.what()));
    }
}

// Decodes a record from JSON text (UTF-8).
template <typename T> Result<T, QString> decodeJsonText(const QString& text) {
    try {
        return decodeJson<T>(nlohmann::ordered_json::parse(text.toStdString()));
    } catch (const std::exception& e) {
        return Result<T, QString>::failure(QString::fromUtf8(e.what()));
    }
}

// The compact JSON text of a record, keys in the record's field order.
template <typename T> QString encodeJsonText(const T& value) {
    nlohmann::ordered_json json = value;
    return QString::fromStdString(json.dump());
}

// Defines the four nlohmann hooks of a record (both JSON flavours, both ways) from
// the `encode`/`decode` templates its file defines in the same namespace.
#define VELMORA_JSON_CODING(Type)                                                                        \
    void to_json(nlohmann::json& json, const Type& value) { encode(json, value); }                       \
    void to_json(nlohmann::ordered_json& json, const Type& value) { encode(json, value); }               \
    void from_json(const nlohmann::json& json, Type& value) { decode(json, value); }                     \
    void from_json(const nlohmann::ordered_json& json, Type& value) { decode(json, value); }

// Field readers and writers shared by the records' coded forms. Readers throw on a
// missing required key or a value of the wrong kind; an optional key that is missing
// or null reads as none.
namespace coding {

template <typename Json> const Json& required(const Json& json, const char* key) {
    if (!json.is_object()) {
        throw CodingError("Expected an object holding \"" + std::string(key) + "\"");
    }
    const auto it = json.find(key);
    if (it == json.end()) {
        throw CodingError("Missing key \"" + std::string(key) + "\"");
    }
    return *it;
}

template <typename Json> const Json* optional(const Json& json, const char* key) {
    if (!json.is_object()) {
        throw CodingError("Expected an object holding \"" + std::string(key) + "\"");
    }
    const auto it = json.find(key);
    if (it == json.end() || it->is_null()) {
        return nullptr;
    }
    return &*it;
}

template <typename Json> QString asText(const Json& value, const char* key) {
    if (!value.is_string()) {
        throw CodingError("Expected text for \"" + std::string(key) + "\"");
    }
    return QString::fromStdString(value.template get_ref<const std::string&>());
}

template <typename Json> QString requiredText(const Json& json, const char* key) {
    return asText(required(json, key), key);
}

template <typename Json> std::optional<QString> optionalText(const Json& json, const char* key) {
    if (const Json* value = optional(json, key)) {
        return asText(*value, key);
    }
    return std::nullopt;
}

template <typename Json> bool requiredBool(const Json& json, const char* key) {
    const Json& value = required(json, key);
    if (!value.is_boolean()) {
        throw CodingError("Expected true or false for \"" + std::string(key) + "\"");
    }
    return value.template get<bool>();
}

inline std::string text(const QString& value) {
    return value.toStdString();
}

} // namespace coding

} // namespace velmora
