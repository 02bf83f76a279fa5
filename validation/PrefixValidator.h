#pragma once

#include "validation/StringValidator.h"

namespace velmora {

// Passes text that begins with `prefix`; an empty prefix accepts everything.
class PrefixValidator : public StringValidator {
public:
    // With `ignoreCase` the prefix is kept lower-cased.
    PrefixValidator(QString prefix, bool ignoreCase, MessageSource message);

    const QString& prefix() const { return m_prefix; }
    void setPrefix(QString prefix) { m_prefix = std::move(prefix); }
    bool ignoreCase() const { return m_ignoreCase; }
    void setIgnoreCase(bool ignoreCase) { m_ignoreCase = ignoreCase; }

    Validation validate() override;

private:
    QString m_prefix;
    bool m_ignoreCase;
};

} // namespace velmora
