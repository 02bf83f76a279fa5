#pragma once

#include "core/model/ProviderType.h"

#include <QDialog>

namespace velmora {

class ProviderSetupView;

// The second sheet of account creation: the chosen tracker's setup form for a new
// account. Saving or cancelling closes the sheet.
class CreateAccountView : public QDialog {
    Q_OBJECT
public:
    static constexpr int width = 400;

    explicit CreateAccountView(ProviderType type, QWidget* parent = nullptr);

    ProviderType type() const { return m_type; }
    ProviderSetupView* setupView() const { return m_setup; }

private:
    const ProviderType m_type;
    ProviderSetupView* m_setup;
};

} // namespace velmora
