#include "views/main/ProjectTaskView.h"

#include "platform/richtext/OutsideToolTip.h"
#include "views/main/Appearance.h"
#include "views/main/AssetNames.h"
#include "views/main/PlainText.h"
#include "views/main/UnopenedAddressView.h"

#include <QDesktopServices>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QToolButton>
#include <QVBoxLayout>

namespace velmora {

namespace {
QLabel* verbatim(const QString& text, QWidget* parent) {
    auto* label = new QLabel(parent);
    setPlainText(label, text);
    return label;
}

QFont scaledBy(QFont font, qreal factor, bool bold = false) {
    font = Appearance::scaledFont(font, factor);
    font.setBold(bold);
    return font;
}
} // namespace

ProjectTaskView::ProjectTaskView(Project project, Issue task, QWidget* parent)
    : QWidget(parent), m_project(std::move(project)), m_task(std::move(task)) {
    setObjectName(QStringLiteral("ProjectTaskView"));
    m_layout = new QVBoxLayout(this);
    m_layout->setContentsMargins(0, 0, 0, 0);
    rebuild();
}

void ProjectTaskView::setTask(Project project, Issue task) {
    m_project = std::move(project);
    m_task = std::move(task);
    rebuild();
}

void ProjectTaskView::setOpener(Opener opener) {
    m_opener = std::move(opener);
    if (m_description) {
        m_description->setOpener(m_opener);
    }
}

bool ProjectTaskView::isOpenableTaskUrl(const QUrl& url) {
    const QString scheme = url.scheme().toLower();
    return url.isValid() && !url.host().isEmpty() &&
           (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

void ProjectTaskView::openTaskUrl() {
    if (!m_task.externalUrl || !isOpenableTaskUrl(*m_task.externalUrl)) {
        return;
    }
    if (m_opener) {
        m_opener(*m_task.externalUrl);
        return;
    }
    const bool opened =
        m_openBrowser ? m_openBrowser(*m_task.externalUrl) : QDesktopServices::openUrl(*m_task.externalUrl);
    if (m_unopened) {
        m_unopened->showAddress(opened ? QUrl() : *m_task.externalUrl);
    }
}

void ProjectTaskView::rebuild() {
    if (m_content) {
        m_layout->removeWidget(m_content);
        m_content->hide();
        m_content->deleteLater();
    }
    // The parts of the task shown before go with it.
    m_linkButton = nullptr;
    m_unopened = nullptr;
    m_referenceLabel = nullptr;
    m_nameLabel = nullptr;
    m_stateValue = nullptr;
    m_spentTimeValue = nullptr;
    m_assigneeValue = nullptr;
    m_description = nullptr;
    m_noDescription = nullptr;
    auto* content = new QWidget(this);
    m_content = content;
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(0, 0, 0, 0);

    // Header: key, name, divider and the three facts.
    auto* header = new QWidget(content);
    auto* headerLayout = new QVBoxLayout(header);
    headerLayout->setContentsMargins(12, 12, 12, 5);
    const QFont base = font();
    const QFont subheadline = scaledBy(base, 11.0 / 13.0, true);
    if (m_task.externalUrl) {
        auto* button = new QToolButton(header);
        button->setObjectName(QStringLiteral("TaskLink"));
        button->setAutoRaise(true);
        button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        button->setLayoutDirection(Qt::RightToLeft);
        button->setText(plainMenuText(m_task.reference.value_or(QStringLiteral("Open in browser"))));
        button->setFont(subheadline);
        button->setIcon(Assets::icon(QStringLiteral("square.and.arrow.up")));
        button->setIconSize(QSize(11, 11));
        button->setCursor(Qt::PointingHandCursor);
        OutsideToolTip::attach(button, m_task.externalUrl->toString());
        connect(button, &QToolButton::clicked, this, &ProjectTaskView::openTaskUrl);
        headerLayout->addWidget(button, 0, Qt::AlignLeft | Qt::AlignAbsolute);
        m_linkButton = button;
        // Where no browser opens it, the address to open by hand, as a sign-in shows it.
        m_unopened = new UnopenedAddressView(tr("To see the task, open this address in a browser:"), header);
        headerLayout->addWidget(m_unopened);
    } else if (m_task.reference) {
        m_referenceLabel = verbatim(*m_task.reference, header);
        m_referenceLabel->setFont(subheadline);
        headerLayout->addWidget(m_referenceLabel);
    }
    m_nameLabel = verbatim(m_task.name, header);
    m_nameLabel->setObjectName(QStringLiteral("TaskName"));
    m_nameLabel->setFont(scaledBy(base, 22.0 / 13.0));
    m_nameLabel->setWordWrap(true);
    m_nameLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    headerLayout->addWidget(m_nameLabel);

    auto* divider = new QFrame(header);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Plain);
    divider->setForegroundRole(QPalette::Mid);
    headerLayout->addWidget(divider);

    auto* facts = new QHBoxLayout;
    facts->setSpacing(20);
    facts->setContentsMargins(0, 5, 0, 0);
    const QFont caption = scaledBy(base, 10.0 / 13.0);
    auto fact = [&](const QString& label, const QString& value) {
        auto* factColumn = new QVBoxLayout;
        factColumn->setSpacing(2);
        QLabel* title = verbatim(label, header);
        title->setFont(caption);
        QLabel* shown = verbatim(value, header);
        shown->setFont(caption);
        QPalette colors = shown->palette();
        colors.setColor(QPalette::WindowText, Appearance::secondary(colors));
        shown->setPalette(colors);
        factColumn->addWidget(title);
        factColumn->addWidget(shown);
        facts->addLayout(factColumn);
        return shown;
    };
    m_stateValue =
        fact(QStringLiteral("State"), m_task.state ? m_task.state->name : QStringLiteral("Unknown"));
    m_spentTimeValue =
        fact(QStringLiteral("Spent time"), m_task.spentTime.value_or(QStringLiteral("No Spent Time")));
    m_assigneeValue = fact(QStringLiteral("Assignee"),
                           m_task.assignee ? m_task.assignee->name : QStringLiteral("Unassigned"));
    facts->addStretch();
    headerLayout->addLayout(facts);
    column->addWidget(header);

    if (m_task.description) {
        m_description = new SimpleHtmlView(*m_task.description, content);
        m_description->setOpener(m_opener);
        column->addWidget(m_description, 1);
    } else {
        m_noDescription = verbatim(QStringLiteral("No description"), content);
        m_noDescription->setFont(scaledBy(base, 10.0 / 13.0));
        m_noDescription->setContentsMargins(12, 0, 12, 0);
        column->addWidget(m_noDescription, 0, Qt::AlignLeft | Qt::AlignTop);
        column->addStretch(1);
    }
    m_layout->addWidget(content);
}

} // namespace velmora
