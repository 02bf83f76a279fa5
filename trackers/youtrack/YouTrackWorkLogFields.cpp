#include "trackers/youtrack/YouTrackWorkLogFields.h"

#include "platform/richtext/OutsideName.h"
#include "trackers/youtrack/YouTrackWorkLogForm.h"
#include "validation/ValidationMessageView.h"

#include <QComboBox>
#include <QGroupBox>
#include <QPlainTextEdit>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace velmora {

YouTrackWorkLogFields::YouTrackWorkLogFields(YouTrackWorkLogForm& form, QWidget* parent)
    : QWidget(parent), m_form(&form) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);

    // The group's title names the choice; the choice carries no label of its own.
    auto* typeGroup = new QGroupBox(QStringLiteral("Type"), this);
    auto* typeLayout = new QVBoxLayout(typeGroup);
    m_typeChoice = new QComboBox(typeGroup);
    typeLayout->addWidget(m_typeChoice);
    layout->addWidget(typeGroup);

    auto* descriptionGroup = new QGroupBox(QStringLiteral("Description"), this);
    auto* descriptionLayout = new QVBoxLayout(descriptionGroup);
    m_descriptionEditor = new QPlainTextEdit(descriptionGroup);
    m_descriptionEditor->setFixedHeight(100);
    m_descriptionEditor->setPlainText(form.description());
    descriptionLayout->addWidget(attachValidation(m_descriptionEditor, form.descriptionValidation()));
    layout->addWidget(descriptionGroup);

    rebuildTypes();

    connect(m_typeChoice, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (m_form && !m_updating && index >= 0) {
            m_form->setType(m_typeChoice->itemData(index).toString());
        }
    });
    connect(&form, &YouTrackWorkLogForm::typesChanged, this, &YouTrackWorkLogFields::rebuildTypes);
    connect(&form, &YouTrackWorkLogForm::typeChanged, this, &YouTrackWorkLogFields::showType);

    connect(m_descriptionEditor, &QPlainTextEdit::textChanged, this, [this] {
        if (m_form && !m_updating) {
            m_form->setDescription(m_descriptionEditor->toPlainText());
        }
    });
    connect(&form, &YouTrackWorkLogForm::descriptionChanged, this, [this](const QString& description) {
        if (m_descriptionEditor->toPlainText() != description) {
            m_updating = true;
            m_descriptionEditor->setPlainText(description);
            m_updating = false;
        }
    });
}

void YouTrackWorkLogFields::rebuildTypes() {
    if (!m_form) {
        return;
    }
    m_updating = true;
    m_typeChoice->clear();
    m_typeChoice->addItem(noTypeLabel, QString());
    // Type names are the tracker's free text: one bounded line each.
    for (const auto& type : m_form->types()) {
        m_typeChoice->addItem(plainName(type.name), type.id);
    }
    m_updating = false;
    showType();
}

void YouTrackWorkLogFields::showType() {
    if (!m_form) {
        return;
    }
    const int index = m_typeChoice->findData(m_form->type());
    m_updating = true;
    // A chosen id that is not (or no longer) offered shows as no choice.
    m_typeChoice->setCurrentIndex(index < 0 ? 0 : index);
    m_updating = false;
}

} // namespace velmora
