#pragma once

#include "core/net/Wire.h"
#include "platform/async/Result.h"

#include <QByteArray>
#include <QString>

#include <exception>

namespace velmora {

// The JSON text of a request body, or why it cannot be written: a value that JSON
// cannot carry (NaN or an infinity, which would otherwise go out silently as null),
// text that is not valid UTF-8, or a record whose writer fails.
Result<QByteArray, QString> encodeJsonBody(const nlohmann::json& json);

template <typename B> Result<QByteArray, QString> encodeJsonBody(const B& body) {
    if constexpr (std::is_same_v<B, nlohmann::json>) {
        return encodeJsonBody(static_cast<const nlohmann::json&>(body));
    } else {
        nlohmann::json json;
        try {
            json = body; // the record's to_json
        } catch (const std::exception& e) {
            return Result<QByteArray, QString>::failure(QString::fromUtf8(e.what()));
        }
        return encodeJsonBody(static_cast<const nlohmann::json&>(json));
    }
}

} // namespace velmora
