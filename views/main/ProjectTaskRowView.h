#pragma once

#include "platform/richtext/OutsideLines.h"

#include <QHash>
#include <QImage>
#include <QStyledItemDelegate>
#include <QUrl>

#include <memory>
#include <optional>

namespace velmora::images {
class RemoteImageCombinedOperation;
}

namespace velmora {

struct Issue;

// Paints one row of the task list: the key (bold) with the tracking mark and the name
// under it (or the name alone when there is no key), the assignee's avatar at the
// trailing edge, and a second line with the state and the spent time. The tracking
// mark keeps its place when hidden, so the text never shifts. All rows have one
// height, so the list lays out only the rows it shows.
//
// The avatar looks as `AvatarView`'s does. Its picture is asked of the shared image
// manager when a row showing it is painted, once per address however many rows show
// it; the placeholder stands until it comes, and then `avatarArrived` tells the list
// which rows to paint again. No widget is made per row.
//
// The row under the last task while the next page loads is a small spinner.
class ProjectTaskRowView : public QStyledItemDelegate {
    Q_OBJECT

public:
    static constexpr int avatarSize = 15;

    explicit ProjectTaskRowView(QObject* parent = nullptr);
    // Loads still running are called off.
    ~ProjectTaskRowView() override;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    // The assignee's name as a tooltip over the avatar, the task's key and name elsewhere (see
    // OutsideToolTip).
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;

    // Where the avatar sits in a row's rectangle.
    static QRect avatarRect(const QRect& row);
    // The texts of the second line: the state's name or "Unknown", the spent time or
    // "No Spent Time".
    static QString stateText(const Issue& task);
    static QString spentTimeText(const Issue& task);
    // The assignee's avatar text read as an address; none without an assignee or when
    // the text is empty or no valid address.
    static std::optional<QUrl> avatarUrl(const Issue& task);
    // The picture loaded for `url`; null while it loads, when it could not be had or
    // when no row has asked for it yet.
    QImage avatarImage(const QUrl& url) const;
    // True while the picture of `url` is being loaded.
    bool isLoadingAvatar(const QUrl& url) const;

    // The angle of the spinner, advanced by the list while a page loads.
    void setSpinnerAngle(int angle) { m_spinnerAngle = angle; }

signals:
    // The load of `url` has ended (with its picture or without); always on the main
    // thread.
    void avatarArrived(const QUrl& url);

private:
    struct Fonts;
    // The row's fonts for `base`, made again only when it changes: scaling a font asks
    // the platform for its smallest readable size, which cost more than the rest of a row.
    const Fonts& fonts(const QFont& base) const;

    struct Avatar {
        QImage image;
        // Set while the load runs.
        std::shared_ptr<images::RemoteImageCombinedOperation> operation;
        bool done = false;
    };

    // Starts the load of `url` unless it has been asked for already.
    void requestAvatar(const QUrl& url);
    void finishAvatar(const QUrl& url, const QImage& image);
    // Drops an address whose picture was not drawn now, so that it is asked for again.
    void forgetAvatar(const QUrl& url);

    mutable std::unique_ptr<const Fonts> m_fonts;
    // The lines of the rows painted last, by font, width, direction and text: a few screenfuls
    // of rows (three lines each), as scrolling back and forth shows them again.
    mutable OutsideLines m_lines{256};
    int m_spinnerAngle = 0;
    // Every address asked for, loaded, loading or failed; a failed one is not asked
    // again while the list lives (one not drawn now is forgotten, and asked for again).
    QHash<QUrl, Avatar> m_avatars;
};

} // namespace velmora
