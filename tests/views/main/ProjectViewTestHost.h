#pragma once

#include "views/main/ToolbarDelegate.h"
#include "views/main/ToolbarHost.h"

#include <QApplication>
#include <QPointer>
#include <QToolBar>
#include <QVBoxLayout>
#include <QWidget>

namespace velmora::test {

// A window that hosts one detail pane and rebuilds its toolbar the way the main window
// does (the kept items released first, the focus kept), recording what it was asked.
class ProjectViewTestHost : public QWidget, public ToolbarHost {
public:
    ProjectViewTestHost() {
        m_layout = new QVBoxLayout(this);
        resize(1000, 600);
    }

    void setPane(QWidget* pane) {
        m_pane = pane;
        m_layout->addWidget(pane, 1);
        updateToolbar();
    }

    void updateToolbar() override {
        ++toolbarUpdates;
        QPointer<QWidget> focused = QApplication::focusWidget();
        const bool focusInToolbar = toolbar && focused && toolbar->isAncestorOf(focused);
        if (toolbar) {
            toolbar->clear();
            toolbar->hide();
            toolbar->deleteLater();
        }
        toolbar = nullptr;
        auto* delegate = dynamic_cast<ToolbarDelegate*>(m_pane.data());
        if (!delegate) {
            return;
        }
        toolbar = new QToolBar(this);
        m_layout->insertWidget(0, toolbar);
        identifiers = delegate->toolbarDefaultItemIdentifiers();
        for (const QString& identifier : identifiers) {
            delegate->addToolbarItem(*toolbar, identifier);
        }
        toolbar->show();
        if (focusInToolbar && focused && toolbar->isAncestorOf(focused)) {
            focused->setFocus(Qt::OtherFocusReason);
        }
    }

    void setTitleAndSubtitle(const QString& t, const QString& s) override {
        title = t;
        subtitle = s;
    }

    // The toolbar's action of an identifier, or null.
    QAction* item(const QString& identifier) const {
        if (!toolbar) {
            return nullptr;
        }
        for (QAction* action : toolbar->actions()) {
            if (action->objectName() == identifier) {
                return action;
            }
        }
        return nullptr;
    }

    QPointer<QToolBar> toolbar;
    QStringList identifiers;
    QString title;
    QString subtitle;
    int toolbarUpdates = 0;

private:
    QVBoxLayout* m_layout;
    QPointer<QWidget> m_pane;
};

} // namespace velmora::test
