#pragma once

#include "core/model/AnyProvider.h"
#include "views/settings/SettingsRow.h"

namespace velmora {

class AvatarView;

// One account of the accounts list: its owner's avatar, its name over its tracker and,
// when it is not operational, a warning. Clicking it, or Return or Space while it has
// the keyboard (Tab goes from row to row), asks to open the account.
class AccountRowView : public SettingsRow {
    Q_OBJECT
public:
    explicit AccountRowView(const AnyProvider& provider, QWidget* parent = nullptr);

    const AnyProvider& provider() const { return m_provider; }
    AvatarView* avatar() const { return m_avatar; }
    // The warning icon; null for an operational account.
    QWidget* warning() const { return control(); }

signals:
    void chosen(const AnyProvider& provider);

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    AnyProvider m_provider;
    AvatarView* m_avatar;
};

} // namespace velmora
