#include "trackers/jira/JiraDescriptionInput.h"

#include "trackers/jira/JiraWorkLogForm.h"
#include "validation/ValidationMessageView.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QVBoxLayout>

namespace velmora {

JiraDescriptionInput::JiraDescriptionInput(JiraWorkLogForm& form, QWidget* parent)
    : QWidget(parent), m_form(&form) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);

    m_label = new QLabel(QStringLiteral("Description"), this);
    QFont callout = m_label->font();
    callout.setPointSizeF(callout.pointSizeF() * 0.9);
    m_label->setFont(callout);
    layout->addWidget(m_label, 0, Qt::AlignLeft);

    m_editor = new QPlainTextEdit;
    m_editor->setPlainText(form.description());
    m_editor->setFixedHeight(editorHeight);
    m_editor->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    m_messageView = new ValidationMessageView(m_editor, form.descriptionValidation(), {}, this);
    layout->addWidget(m_messageView);

    connect(m_editor, &QPlainTextEdit::textChanged, this, [this] {
        if (m_form) {
            m_form->setDescription(m_editor->toPlainText());
        }
    });
}

} // namespace velmora
