#pragma once

#include <QComboBox>

namespace velmora {

class ProviderSetupViewModel;

// The picker of a tracker choice (a Jira site, an Asana workspace): a first row with
// the placeholder (standing for no choice), then one row per loaded choice by name.
// Choosing writes the choice's id into the model's parameter field; the picker is
// disabled while nothing is loaded.
class ChoicePicker : public QComboBox {
    Q_OBJECT
public:
    ChoicePicker(ProviderSetupViewModel& model, const QString& placeholder, QWidget* parent = nullptr);

    // The id of the row chosen; empty for the placeholder.
    QString chosenId() const;
    // Chooses the row of `id` (the placeholder when there is none).
    void choose(const QString& id);

private:
    void reload();

    ProviderSetupViewModel& m_model;
    QString m_placeholder;
    bool m_reloading = false;
};

} // namespace velmora
