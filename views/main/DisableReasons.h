#pragma once

#include <QString>

class QWidget;

namespace velmora {

// A control may be disabled for several reasons at once (an invalid field, a whole
// form that is not valid, a request under way). Each reason is set and cleared on its
// own; the control is enabled only while no reason holds, so clearing one reason never
// enables a control that another still disables. A disabled parent disables it as well,
// as Qt always does.
class DisableReasons {
public:
    DisableReasons() = delete;

    static void set(QWidget* control, const QString& reason, bool disabled);
    static bool holds(const QWidget* control, const QString& reason);
    static bool any(const QWidget* control);
};

} // namespace velmora
