#pragma once

#include "validation/CompositeValidator.h"
#include "validation/FormField.h"

#include <QString>

#include <memory>

namespace velmora {

// The account name rule of every tracker's setup form: not blank, at most 35
// characters (both with surrounding white space trimmed), one message at a time.
class ProviderNameValidation {
public:
    ProviderNameValidation() = delete;

    static constexpr int maximumLength = 35;

    static std::shared_ptr<CompositeValidator> makeValidator();
    // The name field of a setup form, starting with `name`.
    static std::unique_ptr<FormField<QString, CompositeValidator>> make(const QString& name = QString());
};

} // namespace velmora
