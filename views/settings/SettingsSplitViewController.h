#pragma once

#include "views/settings/SettingsEnvironment.h"

#include <QWidget>

class QSplitter;
class QStackedWidget;

namespace velmora {

class SettingsSidebarView;
class SettingsViewModel;

// The settings window's content: the page list beside the page the route names. Every
// announced route rebuilds the page (on a later turn of the event loop, never inside the
// assignment), so nothing held inside a page survives a change of page.
class SettingsSplitViewController : public QWidget {
    Q_OBJECT
public:
    static constexpr int sidebarWidth = 215;
    static constexpr int detailMinimumWidth = 500;
    // The least the page list shrinks to on a narrow screen.
    static constexpr int compactSidebarWidth = 150;

    explicit SettingsSplitViewController(SettingsEnvironment environment, QWidget* parent = nullptr);
    ~SettingsSplitViewController() override;

    // Other parts of the app set its route to turn the window to a page.
    SettingsViewModel& viewModel() const { return *m_viewModel; }

    SettingsSidebarView* sidebar() const { return m_sidebar; }
    QSplitter* splitter() const { return m_splitter; }
    // The page shown now.
    QWidget* detail() const;

    // Fits the page list and the page into `width` (a narrow screen's): the list shrinks first,
    // then the page's least width.
    void fitWidth(int width);

    // Sets the window title and rebuilds the page for the route.
    void updateDetail();

private:
    QWidget* makePage();
    void setDetail(QWidget* page);

    SettingsEnvironment m_environment;
    SettingsViewModel* m_viewModel = nullptr;
    QSplitter* m_splitter = nullptr;
    SettingsSidebarView* m_sidebar = nullptr;
    QStackedWidget* m_pages = nullptr;
};

} // namespace velmora
