#pragma once

#include "views/settings/SettingsPage.h"

#include <QIcon>
#include <QListWidget>

namespace velmora {

class SettingsViewModel;

// The settings window's page list: one row per page, its selection bound to the route. The
// current row shows a ring while the list has the keyboard's focus: the selection alone looks
// the same with the focus elsewhere.
class SettingsSidebarView : public QListWidget {
    Q_OBJECT
public:
    explicit SettingsSidebarView(SettingsViewModel& model, QWidget* parent = nullptr);

    // The row icon: the page's symbol in white on a rounded square of its colour.
    static QIcon pageIcon(const SettingsPage& page);

protected:
    void paintEvent(QPaintEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    void selectRoute();

    SettingsViewModel& m_model;
};

} // namespace velmora
