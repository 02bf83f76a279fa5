#include "views/settings/AccountRowView.h"

#include "views/main/AssetNames.h"
#include "views/main/AvatarView.h"
#include "views/main/NavigationLinkButton.h"
#include "views/main/PopoverOnHover.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>

namespace velmora {

namespace {

std::optional<QUrl> avatarUrl(const AnyProvider& provider) {
    const auto& user = providerUser(provider);
    if (!user) {
        return std::nullopt;
    }
    return AvatarView::remoteUrl(user->avatar);
}

QWidget* warningIcon(const AnyProvider& provider) {
    if (providerState(provider) == ProviderState::operational) {
        return nullptr;
    }
    auto* icon = new QLabel;
    icon->setObjectName(QStringLiteral("warning"));
    icon->setPixmap(Assets::pixmap(QStringLiteral("exclamationmark.triangle.fill"), QSize(16, 16)));
    PopoverOnHover::attach(icon, QStringLiteral("Update your provider credentials"),
                           PopoverOnHover::ArrowEdge::bottom, 150);
    return icon;
}

} // namespace

AccountRowView::AccountRowView(const AnyProvider& provider, QWidget* parent)
    : SettingsRow(providerName(provider), rawText(providerType(provider)), warningIcon(provider), parent),
      m_provider(provider), m_avatar(new AvatarView(avatarUrl(provider), 30)) {
    setObjectName(QStringLiteral("AccountRow"));
    setCursor(Qt::PointingHandCursor);
    // A row is a button to the keyboard as much as to the mouse.
    setFocusPolicy(Qt::StrongFocus);
    setAccessibleName(providerName(provider));
    setAccessibleDescription(QStringLiteral("Opens the account to edit or delete it"));
    if (auto* row = qobject_cast<QHBoxLayout*>(layout())) {
        row->insertWidget(0, m_avatar, 0, Qt::AlignVCenter);
    }
}

void AccountRowView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
        emit chosen(m_provider);
        return;
    }
    SettingsRow::mouseReleaseEvent(event);
}

void AccountRowView::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Space:
        if (event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier) {
            emit chosen(m_provider);
            return;
        }
        break;
    default:
        break;
    }
    SettingsRow::keyPressEvent(event);
}

void AccountRowView::paintEvent(QPaintEvent* event) {
    SettingsRow::paintEvent(event);
    // The row with the keyboard shows it, as the sidebar's rows do.
    if (hasFocus()) {
        QPainter painter(this);
        NavigationLinkButton::paintFocusRing(painter, QRectF(rect()).adjusted(2, 1, -2, -1), palette());
    }
}

} // namespace velmora
