#include "validation/SuffixValidator.h"

#include "validation/UnicodeText.h"

namespace velmora {

SuffixValidator::SuffixValidator(QString suffix, bool ignoreCase, MessageSource message)
    : StringValidator(std::move(message)), m_suffix(ignoreCase ? suffix.toLower() : std::move(suffix)),
      m_ignoreCase(ignoreCase) {}

Validation SuffixValidator::validate() {
    if (!value()) {
        return Validation::success();
    }
    // Both sides are lower-cased when case is ignored: a suffix assigned later in
    // mixed case must not reject every value.
    const bool passes = m_ignoreCase ? text::hasSuffix(value()->toLower(), m_suffix.toLower())
                                     : text::hasSuffix(*value(), m_suffix);
    return passes ? Validation::success() : Validation::failure(messageText());
}

} // namespace velmora
