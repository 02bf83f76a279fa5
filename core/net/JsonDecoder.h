#pragma once

#include "core/net/DateDecodingStrategy.h"
#include "core/net/JsonKeys.h"
#include "core/net/Wire.h"
#include "platform/async/Result.h"

#include <QByteArray>
#include <QString>

#include <exception>

namespace velmora {

// Turns a response body into a wire record: parses the JSON, applies the snake_case
// key rule, then decodes strictly (Wire.h) with the tracker's date strategy. Any
// failure is the whole decode's, with a message for the log.
class JsonDecoder {
public:
    explicit JsonDecoder(DateDecodingStrategy dates = DateDecodingStrategy::SecondsSince1970)
        : m_dates(dates) {}

    DateDecodingStrategy dateStrategy() const { return m_dates; }

    // The parsed body with its keys converted; throws on text that is not JSON.
    nlohmann::json parse(const QByteArray& data) const;

    template <typename T> Result<T, QString> decode(const QByteArray& data) const {
        if constexpr (wire::readable<T>()) {
            // Straight from the text into the record when it can say so for sure;
            // otherwise (and for every failure, with its message) the tree decides.
            try {
                wire::DateStrategyScope scope(m_dates);
                JsonReader reader(data.cbegin(), data.cend());
                T value = wire::read<T>(reader);
                reader.finish();
                return Result<T, QString>::success(std::move(value));
            } catch (const std::exception&) {
            }
        }
        try {
            const nlohmann::json json = parse(data);
            return decodeTree<T>(json);
        } catch (const std::exception& e) {
            return Result<T, QString>::failure(QString::fromUtf8(e.what()));
        }
    }

    // Decodes a tree whose keys were already converted.
    template <typename T> Result<T, QString> decodeTree(const nlohmann::json& json) const {
        try {
            wire::DateStrategyScope scope(m_dates);
            return Result<T, QString>::success(wire::decode<T>(json));
        } catch (const std::exception& e) {
            return Result<T, QString>::failure(QString::fromUtf8(e.what()));
        }
    }

private:
    DateDecodingStrategy m_dates;
};

} // namespace velmora
