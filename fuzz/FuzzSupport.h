#pragma once

#include <QByteArray>

#include <cstddef>
#include <cstdint>

namespace velmora::fuzz {

// The bytes of one input, shared (not copied).
inline QByteArray bytes(const std::uint8_t* data, std::size_t size) {
    return QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
}

} // namespace velmora::fuzz
