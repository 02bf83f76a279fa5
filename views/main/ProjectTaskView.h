#pragma once

#include "core/model/Issue.h"
#include "core/model/Project.h"
#include "views/main/SimpleHtmlView.h"
#include "views/main/UnopenedAddressView.h"

#include <QLabel>
#include <QPointer>
#include <QToolButton>
#include <QWidget>

#include <functional>
#include <optional>

class QVBoxLayout;

namespace velmora {

// The detail of the selected task: its key as a link to the task in the tracker's web
// pages, its name, its state, spent time and assignee, and its description. It shows;
// it edits nothing. A new task redraws all of it.
class ProjectTaskView : public QWidget {
    Q_OBJECT

public:
    using Opener = SimpleHtmlView::Opener;

    ProjectTaskView(Project project, Issue task, QWidget* parent = nullptr);

    const Issue& task() const { return m_task; }
    const Project& project() const { return m_project; }
    void setTask(Project project, Issue task);

    // Tests replace the desktop (for the key's link and the description's links).
    void setOpener(Opener opener);
    // Opens the key's link in the browser, saying whether one opened; the desktop's by default.
    using BrowserOpener = std::function<bool(const QUrl&)>;
    void setBrowserOpener(BrowserOpener open) { m_openBrowser = std::move(open); }
    // The key's address, shown once no browser could be opened at it; null without a link.
    UnopenedAddressView* unopenedAddress() const { return m_unopened; }

    // The parts, for tests: null when not shown.
    QToolButton* linkButton() const { return m_linkButton; }
    QLabel* referenceLabel() const { return m_referenceLabel; }
    QLabel* nameLabel() const { return m_nameLabel; }
    QLabel* stateValue() const { return m_stateValue; }
    QLabel* spentTimeValue() const { return m_spentTimeValue; }
    QLabel* assigneeValue() const { return m_assigneeValue; }
    SimpleHtmlView* descriptionView() const { return m_description; }
    QLabel* noDescriptionLabel() const { return m_noDescription; }

    // Only web pages leave for the browser from the key's link.
    static bool isOpenableTaskUrl(const QUrl& url);

private:
    void rebuild();
    void openTaskUrl();

    Project m_project;
    Issue m_task;
    Opener m_opener;
    BrowserOpener m_openBrowser;
    QPointer<UnopenedAddressView> m_unopened;
    QVBoxLayout* m_layout = nullptr;
    QPointer<QWidget> m_content;
    QPointer<QToolButton> m_linkButton;
    QPointer<QLabel> m_referenceLabel;
    QPointer<QLabel> m_nameLabel;
    QPointer<QLabel> m_stateValue;
    QPointer<QLabel> m_spentTimeValue;
    QPointer<QLabel> m_assigneeValue;
    QPointer<SimpleHtmlView> m_description;
    QPointer<QLabel> m_noDescription;
};

} // namespace velmora
