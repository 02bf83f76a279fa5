#pragma once

#include <QStyledItemDelegate>

namespace velmora {

struct Issue;

// Paints one row of the task list: the key (bold) with the tracking mark and the name
// under it (or the name alone when there is no key), the assignee's avatar at the
// trailing edge, and a second line with the state and the spent time. The tracking
// mark keeps its place when hidden, so the text never shifts. All rows have one
// height, so the list lays out only the rows it shows.
//
// The row under the last task while the next page loads is a small spinner.
class ProjectTaskRowView : public QStyledItemDelegate {
    Q_OBJECT

public:
    static constexpr int avatarSize = 15;

    explicit ProjectTaskRowView(QObject* parent = nullptr);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    // The assignee's name as a tooltip over the avatar.
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;

    // Where the avatar sits in a row's rectangle.
    static QRect avatarRect(const QRect& row);
    // The texts of the second line: the state's name or "Unknown", the spent time or
    // "No Spent Time".
    static QString stateText(const Issue& task);
    static QString spentTimeText(const Issue& task);

    // The angle of the spinner, advanced by the list while a page loads.
    void setSpinnerAngle(int angle) { m_spinnerAngle = angle; }

private:
    int m_spinnerAngle = 0;
};

} // namespace velmora
