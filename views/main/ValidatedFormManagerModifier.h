#pragma once

#include "platform/async/Cancellable.h"

#include <QObject>
#include <QPointer>
#include <QWidget>

namespace velmora {

class FormManager;

// Disables a control (a form's submit button) while the whole form is not valid. The
// manager hands over its current validity at once and then every new one; the
// control starts in the state given until then. Like ValidatedContainerModifier it
// adds a reason of its own, so other reasons still disable the control.
class ValidatedFormManagerModifier : public QObject {
    Q_OBJECT

public:
    static const QString reason;

    ValidatedFormManagerModifier(QWidget* control, FormManager& manager, bool isDisabled = false);
    ~ValidatedFormManagerModifier() override;

    bool isDisabled() const { return m_isDisabled; }
    // A new form: follows this manager from now on.
    void setManager(FormManager& manager);

private:
    void setDisabled(bool disabled);

    QPointer<QWidget> m_control;
    bool m_isDisabled;
    Cancellable m_subscription;
};

} // namespace velmora
