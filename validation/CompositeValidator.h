#pragma once

#include "validation/CompositeValidationMessagesStrategy.h"
#include "validation/StringValidator.h"

#include <QString>

#include <memory>
#include <optional>
#include <vector>

namespace velmora {

// Several text rules as one validator: the field, the manager and the view see a
// single validator, while the members keep their own rules and messages.
class CompositeValidator : public StringValidator {
public:
    // `all`: every member must pass. `any`: one passing member suffices; the
    // optional title then heads the members' texts when none passes.
    class ValidationType {
    public:
        enum class Kind { any, all };

        static ValidationType all() { return ValidationType(Kind::all, std::nullopt); }
        static ValidationType any(std::optional<QString> messageTitle = std::nullopt) {
            return ValidationType(Kind::any, std::move(messageTitle));
        }

        Kind kind() const { return m_kind; }
        const std::optional<QString>& messageTitle() const { return m_messageTitle; }

    private:
        ValidationType(Kind kind, std::optional<QString> messageTitle)
            : m_kind(kind), m_messageTitle(std::move(messageTitle)) {}

        Kind m_kind;
        std::optional<QString> m_messageTitle;
    };

    CompositeValidator(std::vector<std::shared_ptr<StringValidator>> validators, ValidationType type,
                       CompositeValidationMessagesStrategy strategy);

    const std::vector<std::shared_ptr<StringValidator>>& validators() const { return m_validators; }
    const ValidationType& type() const { return m_type; }
    CompositeValidationMessagesStrategy strategy() const { return m_strategy; }

    // Hands the value to every member, asks each in order (notifying its
    // observers), and merges the failure texts with line feeds.
    Validation validate() override;

private:
    const std::vector<std::shared_ptr<StringValidator>> m_validators;
    const ValidationType m_type;
    const CompositeValidationMessagesStrategy m_strategy;
};

} // namespace velmora
