#include "views/settings/ProviderNameValidation.h"

#include "validation/CountValidator.h"
#include "validation/NonEmptyValidator.h"

namespace velmora {

std::shared_ptr<CompositeValidator> ProviderNameValidation::makeValidator() {
    std::vector<std::shared_ptr<StringValidator>> rules{
        std::make_shared<NonEmptyValidator>([] { return QStringLiteral("Name cannot be empty."); }),
        std::make_shared<CountValidator>(maximumLength, CountValidator::ValidationType::lessThanOrEquals,
                                         [] { return QStringLiteral("Name is too long."); }),
    };
    return std::make_shared<CompositeValidator>(std::move(rules), CompositeValidator::ValidationType::all(),
                                                CompositeValidationMessagesStrategy::onByOne);
}

std::unique_ptr<FormField<QString, CompositeValidator>> ProviderNameValidation::make(const QString& name) {
    return std::make_unique<FormField<QString, CompositeValidator>>(name, makeValidator());
}

} // namespace velmora
