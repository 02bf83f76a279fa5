#pragma once

#include "core/model/ProviderType.h"

#include <QDialog>

#include <optional>

class QPushButton;

namespace velmora {

// The first sheet of account creation: one button per tracker (by its logo) and
// "Cancel". Choosing a tracker records it and closes the sheet.
class AccountSelectionView : public QDialog {
    Q_OBJECT
public:
    static constexpr int width = 300;

    explicit AccountSelectionView(QWidget* parent = nullptr);

    // The tracker chosen; none after "Cancel".
    const std::optional<ProviderType>& selectedProvider() const { return m_selected; }
    QPushButton* trackerButton(ProviderType type) const;

signals:
    void providerSelected(ProviderType type);

private:
    std::optional<ProviderType> m_selected;
};

} // namespace velmora
