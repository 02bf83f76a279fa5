#include "views/settings/ChoicePicker.h"

#include "views/main/PlainText.h"
#include "views/settings/ProviderSetupViewModel.h"

namespace velmora {

ChoicePicker::ChoicePicker(ProviderSetupViewModel& model, const QString& placeholder, QWidget* parent)
    : QComboBox(parent), m_model(model), m_placeholder(placeholder) {
    setObjectName(QStringLiteral("parameterPicker"));
    connect(this, &QComboBox::currentIndexChanged, this, [this](int) {
        if (!m_reloading && m_model.parameterField()) {
            m_model.parameterField()->setValue(chosenId());
        }
    });
    connect(&m_model, &ProviderSetupViewModel::choicesChanged, this, &ChoicePicker::reload);
    reload();
}

QString ChoicePicker::chosenId() const {
    return currentData().toString();
}

void ChoicePicker::choose(const QString& id) {
    const int index = findData(id);
    setCurrentIndex(index < 0 ? 0 : index);
}

void ChoicePicker::reload() {
    m_reloading = true;
    clear();
    addItem(m_placeholder, QString());
    for (const auto& choice : m_model.choices()) {
        addItem(plainName(choice.name), choice.id);
    }
    // A list that holds the field's value shows it; otherwise the placeholder.
    const QString value = m_model.parameterField() ? m_model.parameterField()->value() : QString();
    const int index = value.isEmpty() ? 0 : findData(value);
    setCurrentIndex(index < 0 ? 0 : index);
    setEnabled(count() > 1);
    m_reloading = false;
}

} // namespace velmora
