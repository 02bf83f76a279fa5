#pragma once

#include <QPointer>
#include <QWidget>

class QLabel;
class QPlainTextEdit;

namespace velmora {

class JiraWorkLogForm;
class ValidationMessageView;

// The Jira booking form's own input: the label "Description", a 100 px high text
// editor bound to the form's description, and the description's validation message
// under it.
class JiraDescriptionInput : public QWidget {
    Q_OBJECT

public:
    static constexpr int editorHeight = 100;

    JiraDescriptionInput(JiraWorkLogForm& form, QWidget* parent = nullptr);

    QLabel* label() const { return m_label; }
    QPlainTextEdit* editor() const { return m_editor; }
    ValidationMessageView* messageView() const { return m_messageView; }

private:
    QPointer<JiraWorkLogForm> m_form;
    QLabel* m_label = nullptr;
    QPlainTextEdit* m_editor = nullptr;
    ValidationMessageView* m_messageView = nullptr;
};

} // namespace velmora
