#pragma once

#include "core/model/Coding.h"
#include "platform/async/Result.h"

#include <QString>
#include <QVariant>

#include <nlohmann/json.hpp>

#include <optional>

// The snapshot file holds property-list values; the model records have JSON coded
// forms. These helpers carry a record's coded form into the property list and back,
// so a project or task is stored exactly as its coded form says.
namespace velmora::SnapshotCoding {

// Whether a stored value is a number of any of the forms a property list reads.
bool isNumber(const QVariant& value);

// JSON null becomes the property list's null marker (PropertyList::null()).
QVariant fromJson(const nlohmann::ordered_json& json);

// Maps, lists, texts, flags, numbers and the null marker; anything else (data, dates)
// has no JSON form and fails with a CodingError.
nlohmann::ordered_json toJson(const QVariant& value);

template <typename T> QVariant encode(const T& record) {
    const nlohmann::ordered_json json = record;
    return fromJson(json);
}

template <typename T> Result<T, QString> decode(const QVariant& value) {
    try {
        return decodeJson<T>(toJson(value));
    } catch (const std::exception& e) {
        return Result<T, QString>::failure(QString::fromUtf8(e.what()));
    }
}

} // namespace velmora::SnapshotCoding
