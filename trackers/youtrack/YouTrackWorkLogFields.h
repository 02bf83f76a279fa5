#pragma once

#include <QPointer>
#include <QWidget>

class QComboBox;
class QPlainTextEdit;

namespace velmora {

class YouTrackWorkLogForm;

// The YouTrack form's own inputs under the booking sheet's duration: a "Type"
// group with the work-item type choice ("Select an option" first, meaning none)
// and a "Description" group with a multi-line editor and its validation message.
// Both follow the form both ways; all logic stays in the form.
class YouTrackWorkLogFields : public QWidget {
    Q_OBJECT

public:
    static inline const QString noTypeLabel = QStringLiteral("Select an option");

    explicit YouTrackWorkLogFields(YouTrackWorkLogForm& form, QWidget* parent = nullptr);

    QComboBox* typeChoice() const { return m_typeChoice; }
    QPlainTextEdit* descriptionEditor() const { return m_descriptionEditor; }

private:
    void rebuildTypes();
    void showType();

    QPointer<YouTrackWorkLogForm> m_form;
    QComboBox* m_typeChoice = nullptr;
    QPlainTextEdit* m_descriptionEditor = nullptr;
    bool m_updating = false;
};

} // namespace velmora
