#include "views/main/ValidatedFormManagerModifier.h"

#include "validation/FormManager.h"
#include "views/main/DisableReasons.h"

namespace velmora {

const QString ValidatedFormManagerModifier::reason = QStringLiteral("invalidForm");

ValidatedFormManagerModifier::ValidatedFormManagerModifier(QWidget* control, FormManager& manager,
                                                           bool isDisabled)
    : QObject(control), m_control(control), m_isDisabled(isDisabled) {
    DisableReasons::set(m_control, reason, m_isDisabled);
    setManager(manager);
}

ValidatedFormManagerModifier::~ValidatedFormManagerModifier() {
    m_subscription.cancel();
}

void ValidatedFormManagerModifier::setManager(FormManager& manager) {
    m_subscription = manager.allValidStream().subscribe([this](bool allValid) { setDisabled(!allValid); });
}

void ValidatedFormManagerModifier::setDisabled(bool disabled) {
    m_isDisabled = disabled;
    DisableReasons::set(m_control, reason, disabled);
}

} // namespace velmora
