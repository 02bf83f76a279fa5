#pragma once

#include "IntrospectableView.h"

#include <QCheckBox>

namespace velmora::introspection {

// Qt has no switch widget: a switch here is a check box that says so with `markAsSwitch`
// when it is made. The switches are made in the views, which are built on this library, so
// they announce themselves by the mark instead of this library knowing their maker.
inline constexpr char switchStyleProperty[] = "velmoraToggleSwitch";

inline void markAsSwitch(QCheckBox* box) {
    if (box != nullptr)
        box->setProperty(switchStyleProperty, true);
}

inline bool isMarkedAsSwitch(const QWidget* widget) {
    return widget != nullptr && widget->property(switchStyleProperty).toBool();
}

// A toggle drawn as a switch, rendered by a QCheckBox marked as a switch; other check boxes
// are passed over.
struct ToggleWithSwitchStyleType : IntrospectableView<ToggleWithSwitchStyleType, QCheckBox> {
    enum class Style { switch_ }; // the trailing underscore because `switch` is a keyword

    static Version qt6_2() { return Version(QtVersion::qt6_2(), switchSelector()); }
    static Version qt6_3() { return Version(QtVersion::qt6_3(), switchSelector()); }
    static Version qt6_4() { return Version(QtVersion::qt6_4(), switchSelector()); }
    static Version qt6_5() { return Version(QtVersion::qt6_5(), switchSelector()); }
    static Version qt6_6() { return Version(QtVersion::qt6_6(), switchSelector()); }
    static Version qt6_7() { return Version(QtVersion::qt6_7(), switchSelector()); }
    static Version qt6_8() { return Version(QtVersion::qt6_8(), switchSelector()); }

private:
    static IntrospectionSelector<QCheckBox> switchSelector() {
        return IntrospectionSelector<QCheckBox>::matching(
            [](QCheckBox* box) { return isMarkedAsSwitch(box); });
    }
};

inline ToggleWithSwitchStyleType toggle(ToggleWithSwitchStyleType::Style) {
    return {};
}

} // namespace velmora::introspection
