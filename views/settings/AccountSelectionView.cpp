#include "views/settings/AccountSelectionView.h"

#include "views/main/Appearance.h"
#include "views/main/AssetNames.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

namespace velmora {

namespace {

// A flat tracker button draws no frame, so the style shows no focus on it: it draws
// its own ring while it has the keyboard focus.
class TrackerButton : public QPushButton {
public:
    using QPushButton::QPushButton;

protected:
    void paintEvent(QPaintEvent* event) override {
        QPushButton::paintEvent(event);
        if (!hasFocus()) {
            return;
        }
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(Appearance::accent(palette()), 2));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(QRectF(rect()).adjusted(2, 2, -2, -2), 4, 4);
    }
};

} // namespace

AccountSelectionView::AccountSelectionView(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("AccountSelectionView"));
    setFixedWidth(width);
    auto* layout = new QVBoxLayout(this);
    auto* box = new QFrame;
    box->setFrameShape(QFrame::StyledPanel);
    auto* trackers = new QVBoxLayout(box);
    trackers->setSpacing(0);
    for (ProviderType type : allProviderTypes) {
        // The bundled logos are marks without the tracker's name, so the name stands beside them.
        auto* button = new TrackerButton(rawText(type));
        button->setObjectName(rawText(type));
        button->setToolTip(rawText(type));
        button->setAccessibleName(rawText(type));
        button->setFlat(true);
        button->setIcon(Assets::icon(imageName(type)));
        button->setIconSize(QSize(32, 32));
        button->setMinimumHeight(52);
        connect(button, &QPushButton::clicked, this, [this, type] {
            m_selected = type;
            emit providerSelected(type);
            accept();
        });
        trackers->addWidget(button);
        if (type != allProviderTypes.back()) {
            auto* divider = new QFrame;
            divider->setFrameShape(QFrame::HLine);
            divider->setFrameShadow(QFrame::Sunken);
            trackers->addWidget(divider);
        }
    }
    layout->addWidget(box);
    auto* divider = new QFrame;
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    layout->addWidget(divider);
    auto* footer = new QHBoxLayout;
    footer->addStretch();
    auto* cancel = new QPushButton(QStringLiteral("Cancel"));
    cancel->setObjectName(QStringLiteral("cancelButton"));
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    footer->addWidget(cancel);
    layout->addLayout(footer);
}

QPushButton* AccountSelectionView::trackerButton(ProviderType type) const {
    return findChild<QPushButton*>(rawText(type));
}

} // namespace velmora
