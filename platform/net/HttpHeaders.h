#pragma once

#include <QByteArray>

#include <utility>
#include <vector>

namespace velmora {

// Header fields in order, names as written.
using HttpHeaders = std::vector<std::pair<QByteArray, QByteArray>>;

} // namespace velmora
