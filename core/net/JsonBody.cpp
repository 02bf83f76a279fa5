#include "core/net/JsonBody.h"

#include <cmath>

namespace velmora {

namespace {
bool allFinite(const nlohmann::json& json) {
    if (json.is_number_float()) {
        return std::isfinite(json.get<double>());
    }
    if (json.is_structured()) {
        for (const auto& element : json) {
            if (!allFinite(element)) {
                return false;
            }
        }
    }
    return true;
}
} // namespace

Result<QByteArray, QString> encodeJsonBody(const nlohmann::json& json) {
    if (!allFinite(json)) {
        return Result<QByteArray, QString>::failure(QStringLiteral("a number is not finite"));
    }
    try {
        const std::string text = json.dump();
        return Result<QByteArray, QString>::success(QByteArray::fromStdString(text));
    } catch (const std::exception& e) {
        return Result<QByteArray, QString>::failure(QString::fromUtf8(e.what()));
    }
}

} // namespace velmora
