#include "images/core/ImageError.h"

namespace velmora::images {

ImageError::ImageError(ImageErrorCode code, QString message, QVariantMap userInfo)
    : m_domain(domain), m_code(static_cast<int>(code)), m_message(std::move(message)),
      m_userInfo(std::move(userInfo)) {}

ImageError::ImageError(QString errorDomain, int code, QString message, QVariantMap userInfo)
    : m_domain(std::move(errorDomain)), m_code(code), m_message(std::move(message)),
      m_userInfo(std::move(userInfo)) {}

bool ImageError::is(ImageErrorCode code) const {
    return m_domain == domain && m_code == static_cast<int>(code);
}

} // namespace velmora::images
