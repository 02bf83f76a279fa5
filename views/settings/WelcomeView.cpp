#include "views/settings/WelcomeView.h"

#include "views/main/Appearance.h"
#include "views/main/AssetNames.h"
#include "views/settings/ProviderSetupView.h"
#include "views/settings/ProviderSetupViews.h"

#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace velmora {

namespace {

ProviderType typeOf(IntroRoute route) {
    switch (route) {
    case IntroRoute::jiraSetup:
        return ProviderType::jira;
    case IntroRoute::asanaSetup:
        return ProviderType::asana;
    case IntroRoute::youTrackSetup:
        break;
    }
    return ProviderType::youTrack;
}

QString objectNameOf(IntroRoute route) {
    return rawText(typeOf(route)) + QStringLiteral("Button");
}

} // namespace

WelcomeView::WelcomeView(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("WelcomeView"));
    m_stack = new QStackedWidget;
    m_welcome = new QWidget;
    auto* page = new QVBoxLayout(m_welcome);

    auto* header = new QWidget;
    header->setFixedHeight(220);
    auto* headerLayout = new QVBoxLayout(header);
    auto* icon = new QLabel;
    QIcon appIcon = QApplication::windowIcon();
    icon->setPixmap(appIcon.isNull() ? Assets::pixmap(QStringLiteral("Velmora"), QSize(70, 70))
                                     : appIcon.pixmap(QSize(70, 70)));
    icon->setFixedSize(120, 70);
    icon->setAlignment(Qt::AlignCenter);
    headerLayout->addWidget(icon, 0, Qt::AlignHCenter);
    auto* title = new QLabel(QStringLiteral("Welcome to Velmora"));
    QFont large = title->font();
    large.setPointSizeF(large.pointSizeF() * 2.0);
    large.setBold(true);
    title->setFont(large);
    title->setAlignment(Qt::AlignCenter);
    headerLayout->addWidget(title, 0, Qt::AlignHCenter);
    headerLayout->addSpacing(20);
    auto* intro =
        new QLabel(QStringLiteral("Get things done with best time tracking app yet. Just choose your "
                                  "provider and start your timeless journey!"));
    intro->setWordWrap(true);
    intro->setAlignment(Qt::AlignCenter);
    QPalette introColors = intro->palette();
    introColors.setColor(QPalette::WindowText, Appearance::secondary(introColors));
    intro->setPalette(introColors);
    intro->setContentsMargins(100, 0, 100, 0);
    headerLayout->addWidget(intro);
    page->addWidget(header);
    page->addStretch();

    auto* buttons = new QWidget;
    buttons->setFixedHeight(190);
    auto* buttonsLayout = new QVBoxLayout(buttons);
    buttonsLayout->setSpacing(10);
    buttonsLayout->setAlignment(Qt::AlignCenter);
    for (IntroRoute route : {IntroRoute::youTrackSetup, IntroRoute::jiraSetup, IntroRoute::asanaSetup}) {
        auto* button = new QPushButton(rawText(typeOf(route)));
        button->setObjectName(objectNameOf(route));
        button->setFixedSize(270, 40);
        QFont font = button->font();
        font.setPointSizeF(font.pointSizeF() * 1.25);
        button->setFont(font);
        button->setCursor(Qt::PointingHandCursor);
        connect(button, &QPushButton::clicked, this, [this, route] { openSetup(route); });
        buttonsLayout->addWidget(button, 0, Qt::AlignHCenter);
    }
    page->addWidget(buttons);
    m_stack->addWidget(m_welcome);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(25, 0, 25, 0);
    layout->addWidget(m_stack);
}

QPushButton* WelcomeView::trackerButton(IntroRoute route) const {
    return findChild<QPushButton*>(objectNameOf(route));
}

ProviderSetupView* WelcomeView::setupView() const {
    return qobject_cast<ProviderSetupView*>(m_stack->currentWidget());
}

void WelcomeView::openSetup(IntroRoute route) {
    m_path.append(route);
    QPointer<WelcomeView> self(this);
    auto* setup = ProviderSetupViews::create(
        typeOf(route), [] {},
        [self] {
            if (self) {
                // Not inside the form's own click: the form goes with the path.
                QMetaObject::invokeMethod(self, &WelcomeView::resetPath, Qt::QueuedConnection);
            }
        });
    m_stack->addWidget(setup);
    showTop();
}

void WelcomeView::resetPath() {
    m_path.clear();
    while (m_stack->count() > 1) {
        QWidget* page = m_stack->widget(m_stack->count() - 1);
        m_stack->removeWidget(page);
        page->deleteLater();
    }
    showTop();
}

void WelcomeView::showTop() {
    m_stack->setCurrentIndex(m_stack->count() - 1);
}

} // namespace velmora
