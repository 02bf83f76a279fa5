#pragma once

#include "validation/StringValidator.h"

namespace velmora {

// Passes text that ends with `suffix`; an empty suffix accepts everything.
class SuffixValidator : public StringValidator {
public:
    // With `ignoreCase` the suffix is kept lower-cased.
    SuffixValidator(QString suffix, bool ignoreCase, MessageSource message);

    const QString& suffix() const { return m_suffix; }
    void setSuffix(QString suffix) { m_suffix = std::move(suffix); }
    bool ignoreCase() const { return m_ignoreCase; }
    void setIgnoreCase(bool ignoreCase) { m_ignoreCase = ignoreCase; }

    Validation validate() override;

private:
    QString m_suffix;
    bool m_ignoreCase;
};

} // namespace velmora
