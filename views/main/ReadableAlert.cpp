#include "views/main/ReadableAlert.h"

#include <QAbstractButton>
#include <QGridLayout>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QSpacerItem>

#include <algorithm>

namespace velmora {

int ReadableAlert::minimumTextWidth(const QMessageBox& box) {
    // About 60 characters a line: most explanations of the alerts then take one or two.
    return std::clamp(box.fontMetrics().averageCharWidth() * 60, 340, 480);
}

void ReadableAlert::prepare(QMessageBox& box) {
    // Alerts show names and messages from outside, which are text: a message box takes
    // text that looks like HTML for rich text, in which an image may name any local file
    // (a path to /dev/zero reads until memory runs out). The box's format reaches its
    // headline; the explanation under it is a label of its own, told here as well.
    box.setTextFormat(Qt::PlainText);
    for (QLabel* label : box.findChildren<QLabel*>()) {
        label->setTextFormat(Qt::PlainText);
    }
    // A plain headline does not wrap by itself: a long name would widen the box to the
    // screen.
    if (auto* headline = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))) {
        headline->setWordWrap(true);
    }
    for (QAbstractButton* button : box.buttons()) {
        button->setIcon(QIcon());
    }
    auto* grid = qobject_cast<QGridLayout*>(box.layout());
    if (!grid) {
        return;
    }
    // A row of its own under everything, in the column of the texts (beside the icon).
    int column = 0;
    if (auto* text = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))) {
        int row = 0;
        int rowSpan = 0;
        int columnSpan = 0;
        const int index = grid->indexOf(text);
        if (index >= 0) {
            grid->getItemPosition(index, &row, &column, &rowSpan, &columnSpan);
        }
    }
    grid->addItem(new QSpacerItem(minimumTextWidth(box), 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                  grid->rowCount(), column);
}

} // namespace velmora
