#include "core/net/JsonDecoder.h"

namespace velmora {

nlohmann::json JsonDecoder::parse(const QByteArray& data) const {
    auto json = nlohmann::json::parse(data.cbegin(), data.cend());
    convertKeysFromSnakeCase(json);
    return json;
}

} // namespace velmora
