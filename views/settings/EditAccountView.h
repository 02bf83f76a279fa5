#pragma once

#include "core/model/AnyProvider.h"

#include <QWidget>

namespace velmora {

class ProviderSetupView;
class SettingsViewModel;

// The account editor the accounts page pushes: the tracker's setup form for the
// stored account. Saving, and deleting after the confirmation, return the settings
// window to the accounts list.
class EditAccountView : public QWidget {
    Q_OBJECT
public:
    EditAccountView(SettingsViewModel& settingsModel, const AnyProvider& provider, QWidget* parent = nullptr);

    const AnyProvider& provider() const { return m_provider; }
    ProviderSetupView* setupView() const { return m_setup; }

private:
    void deleteAccount();

    SettingsViewModel& m_settingsModel;
    AnyProvider m_provider;
    ProviderSetupView* m_setup;
};

} // namespace velmora
