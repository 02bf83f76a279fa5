#include "views/main/ProjectLinkView.h"

#include "platform/richtext/OutsideToolTip.h"
#include "views/main/Appearance.h"
#include "views/main/NavigationLinkButton.h"
#include "views/main/ProjectListModel.h"
#include "views/main/SystemSymbol.h"

#include <QAbstractItemView>
#include <QHelpEvent>
#include <QPainter>

#include <cmath>

namespace velmora {

ProjectLinkView::Indicator ProjectLinkView::indicator(bool isStarred, bool isRecording) {
    if (isStarred && !isRecording) {
        return Indicator::pin;
    }
    return isRecording ? Indicator::recording : Indicator::none;
}

QString ProjectLinkView::favoriteActionText(bool isStarred) {
    return isStarred ? tr("Remove from Favorites") : tr("Add to Favorites");
}

QSize ProjectLinkView::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
    const QFontMetrics metrics(option.font);
    const int height = std::max(metrics.height(), 16) +
                       static_cast<int>(std::ceil(2 * NavigationLinkButton::verticalPadding));
    return QSize(option.rect.width(), height);
}

void ProjectLinkView::paint(QPainter* painter, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const {
    const bool active = index.data(ProjectListModel::IsActiveRole).toBool();
    const bool starred = index.data(ProjectListModel::IsStarredRole).toBool();
    const bool recording = index.data(ProjectListModel::IsRecordingRole).toBool();
    // The same test as the calendar entry's button, so both rows agree on the look.
    const bool windowIsKey =
        option.widget ? option.widget->isActiveWindow() : option.state.testFlag(QStyle::State_Active);
    const auto look = NavigationLinkButton::look(option.palette, active, windowIsKey);

    painter->save();
    const QRectF row = QRectF(option.rect).adjusted(0, 1, 0, -1);
    NavigationLinkButton::paintHighlight(*painter, row, look);
    if (option.state.testFlag(QStyle::State_HasFocus)) {
        NavigationLinkButton::paintFocusRing(*painter, row, option.palette, look);
    }

    const qreal padding = NavigationLinkButton::horizontalPadding;
    const qreal iconSide = 16;
    const QRectF iconRect(row.left() + padding, row.center().y() - iconSide / 2, iconSide, iconSide);
    const QColor iconColor = active && windowIsKey ? look.foreground : Appearance::tertiary(option.palette);
    SystemSymbol::paint(*painter, iconRect, SystemSymbol::Name::squareStack, iconColor);

    // The trailing mark keeps its room whether shown or not.
    const qreal markSide = 12;
    const QRectF markRect(row.right() - padding - 2 - markSide, row.center().y() - markSide / 2, markSide,
                          markSide);
    switch (indicator(starred, recording)) {
    case Indicator::pin:
        SystemSymbol::paint(*painter, markRect, SystemSymbol::Name::pinFill, look.foreground);
        break;
    case Indicator::recording:
        SystemSymbol::paint(*painter, markRect, SystemSymbol::Name::recordCircle, QColor(Qt::red));
        break;
    case Indicator::none:
        break;
    }

    const QRectF textRect(iconRect.right() + 6, row.top(), markRect.left() - 6 - (iconRect.right() + 6),
                          row.height());
    painter->setPen(look.foreground);
    painter->setFont(option.font);
    const auto* model = qobject_cast<const ProjectListModel*>(index.model());
    const QString name = model ? model->project(index.row()).name : index.data(Qt::DisplayRole).toString();
    OutsideLines::draw(*painter,
                       *m_names.line(option.font, name, static_cast<int>(textRect.width()), option.direction),
                       textRect, option.direction);
    painter->restore();
}

bool ProjectLinkView::helpEvent(QHelpEvent* event, QAbstractItemView* view,
                                const QStyleOptionViewItem& option, const QModelIndex& index) {
    const auto* model = qobject_cast<const ProjectListModel*>(index.model());
    if (event->type() != QEvent::ToolTip || !model || !index.isValid()) {
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    }
    OutsideToolTip::showText(event->globalPos(), model->project(index.row()).name, view->viewport(),
                             option.rect);
    return true;
}

} // namespace velmora
