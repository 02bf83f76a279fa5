#include "views/main/DisableReasons.h"

#include <QStringList>
#include <QVariant>
#include <QWidget>

namespace velmora {

namespace {
constexpr char kProperty[] = "velmoraDisableReasons";

QStringList reasons(const QWidget* control) {
    return control->property(kProperty).toStringList();
}
} // namespace

void DisableReasons::set(QWidget* control, const QString& reason, bool disabled) {
    if (!control) {
        return;
    }
    QStringList current = reasons(control);
    if (disabled && !current.contains(reason)) {
        current.append(reason);
    } else if (!disabled) {
        current.removeAll(reason);
    }
    control->setProperty(kProperty, current);
    control->setEnabled(current.isEmpty());
}

bool DisableReasons::holds(const QWidget* control, const QString& reason) {
    return control && reasons(control).contains(reason);
}

bool DisableReasons::any(const QWidget* control) {
    return control && !reasons(control).isEmpty();
}

} // namespace velmora
