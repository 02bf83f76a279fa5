#pragma once

#include "IntrospectableView.h"
#include "ToggleWithSwitchStyle.h"

#include <QCheckBox>

namespace velmora::introspection {

// A toggle drawn as a check box, rendered by a QCheckBox that is not marked as a switch.
struct ToggleWithCheckboxStyleType : IntrospectableView<ToggleWithCheckboxStyleType, QCheckBox> {
    enum class Style { checkbox };

    static Version qt6_2() { return Version(QtVersion::qt6_2(), checkboxSelector()); }
    static Version qt6_3() { return Version(QtVersion::qt6_3(), checkboxSelector()); }
    static Version qt6_4() { return Version(QtVersion::qt6_4(), checkboxSelector()); }
    static Version qt6_5() { return Version(QtVersion::qt6_5(), checkboxSelector()); }
    static Version qt6_6() { return Version(QtVersion::qt6_6(), checkboxSelector()); }
    static Version qt6_7() { return Version(QtVersion::qt6_7(), checkboxSelector()); }
    static Version qt6_8() { return Version(QtVersion::qt6_8(), checkboxSelector()); }

private:
    static IntrospectionSelector<QCheckBox> checkboxSelector() {
        return IntrospectionSelector<QCheckBox>::matching(
            [](QCheckBox* box) { return !isMarkedAsSwitch(box); });
    }
};

inline ToggleWithCheckboxStyleType toggle(ToggleWithCheckboxStyleType::Style) {
    return {};
}

} // namespace velmora::introspection
