#include "views/main/ProjectTaskRowView.h"

#include "core/model/Issue.h"
#include "images/pipeline/RemoteImageManager.h"
#include "platform/richtext/OutsideToolTip.h"
#include "views/main/Appearance.h"
#include "views/main/AvatarView.h"
#include "views/main/PlainText.h"
#include "views/main/ProjectTasksModel.h"
#include "views/main/SystemSymbol.h"

#include <QAbstractItemView>
#include <QHelpEvent>
#include <QPainter>
#include <QPointer>
#include <QTextLayout>
#include <QThread>

#include <algorithm>
#include <cmath>

namespace velmora {

namespace {
constexpr int verticalPadding = 5;
constexpr int horizontalPadding = 8;
constexpr int markSize = 10;

QFont scaled(const QFont& base, qreal points, bool bold = false) {
    QFont font = Appearance::scaledFont(base, points / 13.0);
    font.setBold(bold);
    return font;
}

} // namespace

struct ProjectTaskRowView::Fonts {
    explicit Fonts(const QFont& base)
        : base(base), subheadline(scaled(base, 11, true)), footnote(scaled(base, 10)),
          callout(scaled(base, 12)), caption(scaled(base, 10)) {}
    QFont base;
    QFont subheadline;
    QFont footnote;
    QFont callout;
    QFont caption;
};

ProjectTaskRowView::ProjectTaskRowView(QObject* parent) : QStyledItemDelegate(parent) {}

const ProjectTaskRowView::Fonts& ProjectTaskRowView::fonts(const QFont& base) const {
    if (!m_fonts || m_fonts->base != base) {
        m_fonts = std::make_unique<const Fonts>(base);
    }
    return *m_fonts;
}

ProjectTaskRowView::~ProjectTaskRowView() {
    for (const Avatar& avatar : std::as_const(m_avatars)) {
        if (avatar.operation) {
            avatar.operation->cancel();
        }
    }
}

std::optional<QUrl> ProjectTaskRowView::avatarUrl(const Issue& task) {
    if (!task.assignee) {
        return std::nullopt;
    }
    const QUrl url(task.assignee->avatar.value_or(QString()));
    if (url.isEmpty() || !url.isValid()) {
        return std::nullopt;
    }
    return url;
}

QImage ProjectTaskRowView::avatarImage(const QUrl& url) const {
    const auto found = m_avatars.constFind(url);
    return found == m_avatars.constEnd() ? QImage() : found->image;
}

bool ProjectTaskRowView::isLoadingAvatar(const QUrl& url) const {
    const auto found = m_avatars.constFind(url);
    return found != m_avatars.constEnd() && !found->done;
}

void ProjectTaskRowView::requestAvatar(const QUrl& url) {
    if (m_avatars.contains(url)) {
        return;
    }
    // Entered before the load starts: a picture in the memory cache may be handed back
    // before loadImage returns.
    m_avatars.insert(url, Avatar{});
    QPointer<ProjectTaskRowView> self(this);
    auto completed = [self, url](const images::Image& image, const QByteArray&,
                                 const images::ImageError& error, images::ImageCacheType, bool finished,
                                 const QUrl&) {
        if (!finished || error.is(images::ImageErrorCode::Cancelled)) {
            return;
        }
        // Not drawn now (newer avatars needed its room, its server was slow or out of reach):
        // asked for again when the row is painted again, with no repaint that would ask for it at
        // once; the image pipeline holds it back until its delay is over.
        const bool notNow = error.value(images::ImageError::notNowKey).toBool();
        // The load asked for a bitmap of the kept size, drawn on the image threads; a vector
        // picture is never drawn here, where its cost would hold up the window.
        const QImage bitmap = image && !image.isVector() ? image.bitmap() : QImage();
        auto finish = [self, url, bitmap, notNow] {
            if (!self) {
                return;
            }
            if (notNow) {
                self->forgetAvatar(url);
            } else {
                self->finishAvatar(url, bitmap);
            }
        };
        if (!self) {
            return;
        }
        if (QThread::currentThread() == self->thread()) {
            finish();
        } else {
            QMetaObject::invokeMethod(self.data(), finish, Qt::QueuedConnection);
        }
    };
    auto operation = images::RemoteImageManager::sharedManager()->loadImage(
        url, 0, AvatarView::loadContext(avatarSize), nullptr, std::move(completed));
    const auto entry = m_avatars.find(url);
    if (entry != m_avatars.end() && !entry->done) {
        entry->operation = std::move(operation);
    }
}

void ProjectTaskRowView::forgetAvatar(const QUrl& url) {
    const auto entry = m_avatars.find(url);
    if (entry != m_avatars.end() && !entry->done) {
        m_avatars.erase(entry);
    }
}

void ProjectTaskRowView::finishAvatar(const QUrl& url, const QImage& image) {
    const auto entry = m_avatars.find(url);
    if (entry == m_avatars.end() || entry->done) {
        return;
    }
    entry->done = true;
    entry->operation.reset();
    // Rows draw the picture a few pixels wide; a large one is kept only at a size that
    // stays sharp on dense screens.
    constexpr int keptSide = avatarSize * AvatarView::keptPixelsPerPoint;
    entry->image = image.width() > keptSide || image.height() > keptSide
                       ? image.scaled(keptSide, keptSide, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                       : image;
    emit avatarArrived(url);
}

QString ProjectTaskRowView::stateText(const Issue& task) {
    return task.state ? task.state->name : QStringLiteral("Unknown");
}

QString ProjectTaskRowView::spentTimeText(const Issue& task) {
    return task.spentTime.value_or(QStringLiteral("No Spent Time"));
}

QRect ProjectTaskRowView::avatarRect(const QRect& row) {
    return QRect(row.right() - horizontalPadding - avatarSize + 1, row.top() + verticalPadding + 2,
                 avatarSize, avatarSize);
}

QSize ProjectTaskRowView::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    // A row that holds a widget (the failure of a later page) is as tall as the widget
    // needs at the list's width.
    if (const auto* list = qobject_cast<const QAbstractItemView*>(option.widget); list && index.isValid()) {
        if (const QWidget* held = list->indexWidget(index)) {
            const int width = list->viewport()->width();
            return QSize(width,
                         held->hasHeightForWidth() ? held->heightForWidth(width) : held->sizeHint().height());
        }
    }
    // One height for every row (the height of a row with a key), so the list can lay
    // out only what it shows.
    const Fonts& fonts = this->fonts(option.font);
    const int height = verticalPadding + QFontMetrics(fonts.subheadline).height() +
                       QFontMetrics(fonts.footnote).height() + 2 + QFontMetrics(fonts.caption).height() +
                       verticalPadding;
    return QSize(200, height);
}

void ProjectTaskRowView::paint(QPainter* painter, const QStyleOptionViewItem& option,
                               const QModelIndex& index) const {
    const auto* model = qobject_cast<const ProjectTasksModel*>(index.model());
    const QRect rect = option.rect;
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    const QPalette& colors = option.palette;

    if (index.data(ProjectTasksModel::SpinnerRole).toBool()) {
        const int side = 12;
        const QRectF arc(rect.center().x() - side / 2.0, rect.center().y() - side / 2.0, side, side);
        painter->setPen(QPen(Appearance::secondary(colors), 1.6, Qt::SolidLine, Qt::RoundCap));
        painter->drawArc(arc, -m_spinnerAngle * 16, 270 * 16);
        painter->restore();
        return;
    }
    const Issue* task = model ? model->taskAt(index.row()) : nullptr;
    if (!task) {
        painter->restore();
        return;
    }

    const bool selectedRow = option.state & QStyle::State_Selected;
    const bool active = option.state & QStyle::State_Active;
    if (selectedRow) {
        painter->setPen(Qt::NoPen);
        painter->setBrush(active ? Appearance::accent(colors) : Appearance::inactiveSelection(colors));
        painter->drawRoundedRect(QRectF(rect).adjusted(4, 1, -4, -1), 5, 5);
    }
    // The row the keyboard is on wears a ring, chosen or not: Tab into the list makes a row
    // current without choosing it. On the highlight it takes the highlight's text colour.
    if (option.state & QStyle::State_HasFocus) {
        painter->setPen(
            QPen(selectedRow && active ? colors.color(QPalette::HighlightedText) : Appearance::accent(colors),
                 1.5));
        painter->setBrush(Qt::NoBrush);
        painter->drawRoundedRect(QRectF(rect).adjusted(6, 4, -6, -4), 4, 4);
    }
    // Light text only on the strong highlight of the active window.
    const bool selected = selectedRow && active;
    const QColor primary = selected ? colors.color(QPalette::HighlightedText) : Appearance::primary(colors);
    // On the highlight no lighter shade reads well enough: the status line takes the
    // highlight's own text colour.
    const QColor secondary = selected ? primary : Appearance::secondary(colors);

    const Fonts& fonts = this->fonts(option.font);
    const int left = rect.left() + horizontalPadding + 4;
    const int right = (task->assignee ? avatarRect(rect).left() - 6 : rect.right() - horizontalPadding);
    int y = rect.top() + verticalPadding;

    // A line of text from the tracker cut to `width` pixels, at the start of `box` (its left, or
    // its right in a right-to-left layout) and centred in the font's height; returns its width.
    auto drawLaid = [&](const OutsideLines::Line& shown, const QRect& box) {
        return OutsideLines::draw(*painter, shown, box, option.direction);
    };
    auto drawText = [&](const QFont& font, const QString& text, const QRect& box, int width) {
        return drawLaid(*m_lines.line(font, text, width, option.direction), box);
    };

    auto drawLine = [&](const QFont& font, const QString& text, const QColor& color, bool withMark) {
        const QFontMetrics metrics(font);
        const int markRoom = withMark ? markSize + 6 : 0;
        painter->setFont(font);
        painter->setPen(color);
        const qreal shownWidth =
            drawText(font, text, QRect(left, y, right - left, metrics.height()), right - left - markRoom);
        if (withMark && model->isTracking(*task)) {
            const int x = left + static_cast<int>(std::ceil(shownWidth)) + 4;
            const QRectF mark(x, y + (metrics.height() - markSize) / 2.0, markSize, markSize);
            SystemSymbol::paint(*painter, mark, SystemSymbol::Name::recordCircle, QColor(Qt::red));
        }
        y += metrics.height();
    };

    if (task->reference) {
        drawLine(fonts.subheadline, *task->reference, primary, true);
        drawLine(fonts.footnote, task->name, primary, false);
    } else {
        drawLine(fonts.callout, task->name, primary, true);
        y = rect.top() + verticalPadding + QFontMetrics(fonts.subheadline).height() +
            QFontMetrics(fonts.footnote).height();
    }
    y += 2;

    // Second line: state, a 2 px dot, spent time.
    const QFontMetrics caption(fonts.caption);
    painter->setFont(fonts.caption);
    painter->setPen(secondary);
    // Both are cut to the line: they come from the tracker and may be of any length.
    const std::shared_ptr<const OutsideLines::Line> state =
        m_lines.line(fonts.caption, stateText(*task), right - left, option.direction);
    const int stateWidth = static_cast<int>(std::ceil(state->width));
    drawLaid(*state, QRect(left, y, stateWidth + 1, caption.height()));
    const qreal dotX = left + stateWidth + 5;
    painter->setPen(Qt::NoPen);
    painter->setBrush(secondary);
    painter->drawEllipse(QRectF(dotX, y + caption.height() / 2.0 - 1, 2, 2));
    painter->setPen(secondary);
    const int spentLeft = static_cast<int>(dotX) + 2 + 5;
    const int spentWidth = std::max(0, rect.right() - spentLeft);
    drawText(fonts.caption, spentTimeText(*task), QRect(spentLeft, y, spentWidth, caption.height()),
             spentWidth);

    if (task->assignee) {
        const QRectF avatar = avatarRect(rect);
        if (const std::optional<QUrl> url = avatarUrl(*task)) {
            // A delegate paints from a const member; asking for the picture only fills
            // the cache of pictures, which is not what the row shows.
            const_cast<ProjectTaskRowView*>(this)->requestAvatar(*url);
            const QImage image = avatarImage(*url);
            if (image.isNull()) {
                AvatarView::paintPlaceholder(*painter, avatar, colors);
            } else {
                AvatarView::paintImage(*painter, avatar, image);
            }
        } else {
            AvatarView::paintWithoutAddress(*painter, avatar, colors);
        }
    }
    painter->restore();
}

bool ProjectTaskRowView::helpEvent(QHelpEvent* event, QAbstractItemView* view,
                                   const QStyleOptionViewItem& option, const QModelIndex& index) {
    const auto* model = qobject_cast<const ProjectTasksModel*>(index.model());
    const Issue* task = model ? model->taskAt(index.row()) : nullptr;
    if (event->type() != QEvent::ToolTip || !task) {
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    }
    // Text from the tracker shows in a tooltip of its own: laid out once, and bounded.
    if (task->assignee && avatarRect(option.rect).contains(event->pos())) {
        OutsideToolTip::showText(event->globalPos(), task->assignee->name, view->viewport(),
                                 avatarRect(option.rect));
        return true;
    }
    // The key and the name; the name bounded before it is joined, as a name may be megabytes long.
    const QString text = task->reference ? plainName(*task->reference) + QStringLiteral(" ") +
                                               plainName(task->name, plainToolTipLength, plainToolTipCost)
                                         : task->name;
    OutsideToolTip::showText(event->globalPos(), text, view->viewport(), option.rect);
    return true;
}

} // namespace velmora
