#include "views/main/ReturnPressesFocusedButton.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QRadioButton>

namespace velmora {

ReturnPressesFocusedButton* ReturnPressesFocusedButton::install(QCoreApplication& application) {
    // One filter an application, however often a window or a test asks for it.
    auto* filter = application.findChild<ReturnPressesFocusedButton*>(QString(), Qt::FindDirectChildrenOnly);
    if (!filter) {
        filter = new ReturnPressesFocusedButton(&application);
        application.installEventFilter(filter);
    }
    return filter;
}

bool ReturnPressesFocusedButton::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress) {
        return false;
    }
    auto* key = static_cast<QKeyEvent*>(event);
    const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
    if (!enter || (key->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier) {
        return false;
    }
    // The key goes to the focus widget, so a button that receives it has the focus.
    auto* button = qobject_cast<QAbstractButton*>(watched);
    if (!button || qobject_cast<QCheckBox*>(button) || qobject_cast<QRadioButton*>(button)) {
        return false;
    }
    // A held key presses once; its repeats go nowhere else either (they would reach the
    // dialog's default button).
    if (!key->isAutoRepeat() && button->isEnabled() && button->isVisible()) {
        button->click();
    }
    return true;
}

} // namespace velmora
