#pragma once

#include <QPointer>
#include <QSplitter>

namespace velmora {

// The content of the main window: the sidebar in a fixed column of 220 px that cannot
// be collapsed, and next to it the detail pane that the window puts in with
// setDetailViewController() (at least 592 px wide, less on a screen without room for it).
class SidebarSplitViewController : public QSplitter {
    Q_OBJECT

public:
    static constexpr int sidebarWidth = 220;
    static constexpr int detailMinimumWidth = 592;

    // Takes the sidebar as its first child (the controller owns it).
    explicit SidebarSplitViewController(QWidget* sidebarView, QWidget* parent = nullptr);

    QWidget* sidebarView() const { return m_sidebar; }
    // The detail pane; null before the first setDetailViewController().
    QWidget* detailViewController() const { return m_detail; }

    // Puts `detail` into the detail pane, deleting the one there before; the sidebar is
    // never touched. The split then holds exactly two items.
    void setDetailViewController(QWidget* detail);
    // Fits the split into `width` (a small screen's): the detail's least width gives way, the
    // sidebar's column never does.
    void fitWidth(int width);
    // The detail's least width now.
    int detailMinimum() const { return m_detailMinimum; }

signals:
    void detailViewControllerChanged(QWidget* detail);

private:
    QPointer<QWidget> m_sidebar;
    QPointer<QWidget> m_detail;
    int m_detailMinimum = detailMinimumWidth;
};

} // namespace velmora
