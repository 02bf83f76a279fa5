#include "core/net/JsonDecoder.h"

namespace velmora {

nlohmann::json JsonDecoder::parse(const QByteArray& data) const {
    return parseWithKeyRule(data.cbegin(), data.cend());
}

} // namespace velmora
