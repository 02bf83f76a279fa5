#include "validation/PrefixValidator.h"

#include "validation/UnicodeText.h"

namespace velmora {

PrefixValidator::PrefixValidator(QString prefix, bool ignoreCase, MessageSource message)
    : StringValidator(std::move(message)), m_prefix(ignoreCase ? prefix.toLower() : std::move(prefix)),
      m_ignoreCase(ignoreCase) {}

Validation PrefixValidator::validate() {
    if (!value()) {
        return Validation::success();
    }
    // Both sides are lower-cased when case is ignored: a prefix assigned later in
    // mixed case must not reject every value.
    const bool passes = m_ignoreCase ? text::hasPrefix(value()->toLower(), m_prefix.toLower())
                                     : text::hasPrefix(*value(), m_prefix);
    return passes ? Validation::success() : Validation::failure(messageText());
}

} // namespace velmora
