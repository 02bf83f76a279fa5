#include "views/main/ValidatedContainerModifier.h"

#include "views/main/DisableReasons.h"

#include <QEvent>

namespace velmora {

const QString ValidatedContainerModifier::reason = QStringLiteral("invalidField");

ValidatedContainerModifier::ValidatedContainerModifier(QWidget* control, ValidationContainer container,
                                                       Validation latestValidation)
    : QObject(control), m_control(control), m_container(std::move(container)),
      m_latestValidation(std::move(latestValidation)) {
    DisableReasons::set(m_control, reason, m_latestValidation.isFailure());
    m_publisherSubscription = m_container.publisher().subscribe([this](const Validation& v) { receive(v); });
    PassthroughSubject<Validation> subject = m_container.subject();
    m_subjectSubscription = subject.subscribe([this](const Validation& v) { receive(v); });
    control->installEventFilter(this);
    if (control->isVisible()) {
        eventFilter(control, nullptr);
    }
}

ValidatedContainerModifier::~ValidatedContainerModifier() {
    m_publisherSubscription.cancel();
    m_subjectSubscription.cancel();
}

bool ValidatedContainerModifier::eventFilter(QObject* watched, QEvent* event) {
    const bool shown = !event || event->type() == QEvent::Show;
    if (watched == m_control && shown && !m_shownOnce) {
        m_shownOnce = true;
        // A field that already holds a value is checked now, so a form opened with an
        // invalid value starts with its control disabled.
        if (!m_container.validator()->isEmpty()) {
            m_container.observe(false, true);
        }
    }
    return false;
}

void ValidatedContainerModifier::receive(const Validation& validation) {
    m_latestValidation = validation;
    DisableReasons::set(m_control, reason, validation.isFailure());
}

} // namespace velmora
