#pragma once

#include "platform/richtext/OutsideLines.h"

#include <QStyledItemDelegate>

namespace velmora {

// Paints one project row of the sidebar's list (the rows are a model, not widgets):
// the project icon, the name and the trailing mark, on the selection look of a
// NavigationLinkButton. The mark is the pin of a starred project, or the red
// recording dot while the window's timer runs on the project (the dot wins over the
// pin); a row that is neither keeps the dot's room empty.
class ProjectLinkView : public QStyledItemDelegate {
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;

    // What a row shows at its right end.
    enum class Indicator { none, pin, recording };
    static Indicator indicator(bool isStarred, bool isRecording);

    // The text of the row's context menu entry.
    static QString favoriteActionText(bool isStarred);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    // The project's name as a tooltip (see OutsideToolTip).
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;

private:
    // The names as the rows show them, cut to the width they show, laid out once and drawn from
    // that at every paint: a list of projects repaints all its rows at each hover and selection.
    mutable OutsideLines m_names{64};
};

} // namespace velmora
