#pragma once

#include "platform/async/Cancellable.h"
#include "validation/Validation.h"
#include "validation/ValidationContainer.h"

#include <QObject>
#include <QPointer>
#include <QWidget>

namespace velmora {

// Disables a control while one field's latest validation is a failure. It adds its
// own reason to the control's disable reasons, so a control disabled for another
// reason stays disabled. When the control is first shown, a field that already holds
// a value is validated at once; an empty, untouched field is left alone, so a new form
// shows no failure and does not disable its control.
//
// Attach it with `new ValidatedContainerModifier(button, container)`: it is a child
// of the control and lives as long as it does.
class ValidatedContainerModifier : public QObject {
    Q_OBJECT

public:
    // The reason under which it disables the control.
    static const QString reason;

    ValidatedContainerModifier(QWidget* control, ValidationContainer container,
                               Validation latestValidation = Validation::success());
    ~ValidatedContainerModifier() override;

    const Validation& latestValidation() const { return m_latestValidation; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void receive(const Validation& validation);

    QPointer<QWidget> m_control;
    ValidationContainer m_container;
    Validation m_latestValidation;
    bool m_shownOnce = false;
    Cancellable m_publisherSubscription;
    Cancellable m_subjectSubscription;
};

} // namespace velmora
