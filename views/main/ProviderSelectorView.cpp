#include "views/main/ProviderSelectorView.h"

#include "core/model/ShellHooks.h"
#include "core/storage/FetchProviders.h"
#include "views/main/Appearance.h"
#include "views/main/AvatarView.h"
#include "views/main/PlainText.h"
#include "views/main/PopoverOnHover.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

namespace velmora {

namespace {

// The warning sign of an account that cannot work.
class WarningSign : public QWidget {
public:
    explicit WarningSign(QWidget* parent) : QWidget(parent) { setFixedSize(18, 18); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath triangle;
        triangle.moveTo(9, 1.5);
        triangle.lineTo(17, 16);
        triangle.lineTo(1, 16);
        triangle.closeSubpath();
        painter.fillPath(triangle, QColor(0xE0, 0xA0, 0x00));
        painter.setPen(QPen(Qt::white, 1.8, Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(QPointF(9, 6.5), QPointF(9, 11));
        painter.drawPoint(QPointF(9, 13.5));
    }
};

} // namespace

QString ProviderSelectorView::trackerName(ProviderType type) {
    switch (type) {
    case ProviderType::youTrack:
        return QStringLiteral("YouTrack");
    case ProviderType::jira:
        return QStringLiteral("Jira");
    case ProviderType::asana:
        return QStringLiteral("Asana");
    }
    return {};
}

ProviderSelectorView::ProviderSelectorView(QWidget* parent)
    : QDialog(parent), m_providers(new FetchProviders(this)) {
    build();
}

ProviderSelectorView::ProviderSelectorView(ProviderStore& store, QWidget* parent)
    : QDialog(parent), m_providers(new FetchProviders(store, this)) {
    build();
}

void ProviderSelectorView::build() {
    setWindowTitle(tr("Accounts"));
    setFixedWidth(sheetWidth);
    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(0);
    m_list = new QVBoxLayout;
    m_list->setSpacing(0);
    layout->addLayout(m_list);
    auto* footer = new QHBoxLayout;
    footer->setContentsMargins(0, 10, 0, 0);
    footer->addStretch(1);
    m_cancel = new QPushButton(tr("Cancel"), this);
    m_cancel->setDefault(true);
    footer->addWidget(m_cancel);
    layout->addLayout(footer);
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_providers, &FetchProviders::providersChanged, this, &ProviderSelectorView::rebuild);
    rebuild();
}

void ProviderSelectorView::rebuild() {
    while (QLayoutItem* item = m_list->takeAt(0)) {
        if (QWidget* widget = item->widget()) {
            widget->deleteLater();
        }
        delete item;
    }
    m_rows.clear();
    m_warnings.clear();
    for (const AnyProvider& provider : m_providers->providers()) {
        auto* row = new QWidget(this);
        auto* rowLayout = new QHBoxLayout(row);
        rowLayout->setContentsMargins(0, 5, 0, 5);

        auto* button = new QToolButton(row);
        button->setAutoRaise(true);
        button->setToolButtonStyle(Qt::ToolButtonTextOnly);
        button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
        auto* label = new QHBoxLayout(button);
        label->setContentsMargins(4, 2, 4, 2);
        const auto& user = providerUser(provider);
        const QString avatar = user ? user->avatar : QString();
        label->addWidget(new AvatarView(AvatarView::remoteUrl(avatar), 30, button));
        auto* texts = new QVBoxLayout;
        texts->setSpacing(0);
        auto* name = new QLabel(button);
        setPlainText(name, providerName(provider));
        texts->addWidget(name);
        auto* tracker = new QLabel(trackerName(providerType(provider)), button);
        tracker->setFont(Appearance::scaledFont(tracker->font(), 0.85));
        texts->addWidget(tracker);
        label->addLayout(texts, 1);
        button->setMinimumHeight(40);
        const bool operational = providerState(provider) == ProviderState::operational;
        button->setEnabled(operational);
        rowLayout->addWidget(button, 1);
        m_rows.push_back(button);
        connect(button, &QToolButton::clicked, this, [this, provider] { choose(provider); });

        if (!operational) {
            auto* sign = new WarningSign(row);
            PopoverOnHover::attach(sign, notFunctioning, PopoverOnHover::ArrowEdge::bottom, 220);
            rowLayout->addWidget(sign);
            m_warnings.push_back(sign);
        }
        m_list->addWidget(row);
    }
}

void ProviderSelectorView::choose(const AnyProvider& provider) {
    if (providerState(provider) != ProviderState::operational) {
        return;
    }
    if (const auto& id = providerId(provider)) {
        // The window manager decides whether the stored default follows.
        ShellHooks::instance().switchToProvider(*id, false);
    }
    accept();
}

} // namespace velmora
