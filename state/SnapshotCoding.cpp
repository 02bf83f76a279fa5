#include "state/SnapshotCoding.h"

#include "platform/plist/PropertyList.h"

#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

#include <string>

namespace velmora::SnapshotCoding {

bool isNumber(const QVariant& value) {
    switch (value.typeId()) {
    case QMetaType::Double:
    case QMetaType::Float:
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        return true;
    default:
        return false;
    }
}

QVariant fromJson(const nlohmann::ordered_json& json) {
    switch (json.type()) {
    case nlohmann::ordered_json::value_t::null:
    case nlohmann::ordered_json::value_t::discarded:
        return PropertyList::null();
    case nlohmann::ordered_json::value_t::boolean:
        return QVariant(json.get<bool>());
    case nlohmann::ordered_json::value_t::number_integer:
        return QVariant(static_cast<qint64>(json.get<std::int64_t>()));
    case nlohmann::ordered_json::value_t::number_unsigned:
        return QVariant(static_cast<quint64>(json.get<std::uint64_t>()));
    case nlohmann::ordered_json::value_t::number_float:
        return QVariant(json.get<double>());
    case nlohmann::ordered_json::value_t::string:
        return QVariant(QString::fromStdString(json.get_ref<const std::string&>()));
    case nlohmann::ordered_json::value_t::array: {
        QVariantList list;
        list.reserve(static_cast<qsizetype>(json.size()));
        for (const auto& element : json) {
            list.push_back(fromJson(element));
        }
        return list;
    }
    case nlohmann::ordered_json::value_t::object: {
        QVariantMap map;
        for (auto it = json.begin(); it != json.end(); ++it) {
            map.insert(QString::fromStdString(it.key()), fromJson(it.value()));
        }
        return map;
    }
    case nlohmann::ordered_json::value_t::binary:
        break;
    }
    throw CodingError("A value without a property-list form");
}

nlohmann::ordered_json toJson(const QVariant& value) {
    if (PropertyList::isNull(value)) {
        return nullptr;
    }
    switch (value.typeId()) {
    case QMetaType::Bool:
        return value.toBool();
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::SChar:
        return static_cast<std::int64_t>(value.toLongLong());
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
    case QMetaType::UShort:
    case QMetaType::UChar:
        return static_cast<std::uint64_t>(value.toULongLong());
    case QMetaType::Double:
    case QMetaType::Float:
        return value.toDouble();
    case QMetaType::QString:
        return value.toString().toStdString();
    case QMetaType::QStringList: {
        auto array = nlohmann::ordered_json::array();
        for (const auto& text : value.toStringList()) {
            array.push_back(text.toStdString());
        }
        return array;
    }
    case QMetaType::QVariantList: {
        auto array = nlohmann::ordered_json::array();
        for (const auto& element : value.toList()) {
            array.push_back(toJson(element));
        }
        return array;
    }
    case QMetaType::QVariantMap:
    case QMetaType::QVariantHash: {
        auto object = nlohmann::ordered_json::object();
        const auto map = value.toMap();
        for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
            object[it.key().toStdString()] = toJson(it.value());
        }
        return object;
    }
    default:
        break;
    }
    throw CodingError(std::string("A stored value of type ") + value.typeName() +
                      " where a record field was expected");
}

} // namespace velmora::SnapshotCoding
