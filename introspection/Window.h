#pragma once

#include "IntrospectableView.h"

#include <QWidget>

namespace velmora::introspection {

// The window that hosts a composite. Any ordinary widget in the composite's neighbourhood
// leads to it, so the entries search for plain widgets and hand out their window.
struct WindowType : IntrospectableView<WindowType, QWidget> {
    static Version qt6_2() { return Version(QtVersion::qt6_2(), windowSelector()); }
    static Version qt6_3() { return Version(QtVersion::qt6_3(), windowSelector()); }
    static Version qt6_4() { return Version(QtVersion::qt6_4(), windowSelector()); }
    static Version qt6_5() { return Version(QtVersion::qt6_5(), windowSelector()); }
    static Version qt6_6() { return Version(QtVersion::qt6_6(), windowSelector()); }
    static Version qt6_7() { return Version(QtVersion::qt6_7(), windowSelector()); }
    static Version qt6_8() { return Version(QtVersion::qt6_8(), windowSelector()); }

private:
    static IntrospectionSelector<QWidget> windowSelector() {
        return IntrospectionSelector<QWidget>::make<QWidget>(
            [](QWidget* widget) { return widget->window(); });
    }
};

inline WindowType window() {
    return {};
}

} // namespace velmora::introspection
