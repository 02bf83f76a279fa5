#include "validation/CompositeValidator.h"

#include <QStringList>

namespace velmora {

CompositeValidator::CompositeValidator(std::vector<std::shared_ptr<StringValidator>> validators,
                                       ValidationType type, CompositeValidationMessagesStrategy strategy)
    : StringValidator([] { return QString(); }), m_validators(std::move(validators)), m_type(std::move(type)),
      m_strategy(strategy) {}

Validation CompositeValidator::validate() {
    for (const auto& member : m_validators) {
        member->setValue(value());
    }

    QStringList messages;
    for (const auto& member : m_validators) {
        const Validation outcome = member->validate();
        member->notify(outcome);
        if (outcome.isFailure()) {
            messages.append(*outcome.failureMessage());
        }
    }

    if (m_type.kind() == ValidationType::Kind::any) {
        for (const auto& member : m_validators) {
            const Validation outcome = member->validate();
            member->notify(outcome);
            if (outcome.isSuccess()) {
                return Validation::success();
            }
        }
        if (m_type.messageTitle()) {
            messages.prepend(*m_type.messageTitle());
        }
    }

    if (messages.isEmpty()) {
        return Validation::success();
    }
    if (m_strategy == CompositeValidationMessagesStrategy::onByOne) {
        return Validation::failure(messages.first());
    }
    return Validation::failure(messages.join(QLatin1Char('\n')));
}

} // namespace velmora
