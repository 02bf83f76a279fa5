#pragma once

#include "core/model/AnyProvider.h"

#include <QDialog>
#include <QPointer>

#include <vector>

class QAbstractButton;
class QPushButton;
class QVBoxLayout;

namespace velmora {

class FetchProviders;
class ProviderStore;

// The sheet in which the user picks the account to work with: every stored account in
// order of name, with its owner's avatar, its name and its tracker. Choosing an
// operational account switches to it (without making it the stored default unless the
// user's setting says so) and closes the sheet; an account that cannot work is shown
// disabled, with a warning sign that explains why on hover. The list follows the
// account store while the sheet is open.
class ProviderSelectorView : public QDialog {
    Q_OBJECT

public:
    static constexpr int sheetWidth = 300;
    static inline const QString notFunctioning = QStringLiteral(
        "The provider is not functioning. Please review the settings for diagnostic purposes.");

    explicit ProviderSelectorView(QWidget* parent = nullptr);
    ProviderSelectorView(ProviderStore& store, QWidget* parent = nullptr);

    // One button per listed account, in order; disabled for accounts that cannot work.
    const std::vector<QAbstractButton*>& rows() const { return m_rows; }
    // The warning signs, one per account that cannot work.
    const std::vector<QWidget*>& warnings() const { return m_warnings; }
    QPushButton* cancelButton() const { return m_cancel; }

    // The action of an enabled row.
    void choose(const AnyProvider& provider);

    static QString trackerName(ProviderType type);

private:
    void build();
    void rebuild();

    FetchProviders* m_providers = nullptr;
    QVBoxLayout* m_list = nullptr;
    std::vector<QAbstractButton*> m_rows;
    std::vector<QWidget*> m_warnings;
    QPushButton* m_cancel = nullptr;
};

} // namespace velmora
