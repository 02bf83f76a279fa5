#pragma once

#include "introspection/ToggleWithSwitchStyle.h"

#include <QCheckBox>

#include <functional>

namespace velmora {

// A switch bound to a setting: it shows the value now, writes every change by the user at
// once, and follows changes made elsewhere (announced by `changed`).
class SettingsSwitch {
public:
    SettingsSwitch() = delete;

    template <typename Object, typename Signal>
    static QCheckBox* make(Object* object, std::function<bool()> read, std::function<void(bool)> write,
                           Signal changed, QWidget* parent = nullptr) {
        auto* box = new QCheckBox(parent);
        // Introspection tells our switches from plain check boxes by this mark.
        introspection::markAsSwitch(box);
        box->setChecked(read());
        QObject::connect(box, &QCheckBox::toggled, box, [write = std::move(write)](bool on) { write(on); });
        QObject::connect(object, changed, box, [box, read = std::move(read)] {
            if (box->isChecked() != read())
                box->setChecked(read());
        });
        return box;
    }
};

} // namespace velmora
