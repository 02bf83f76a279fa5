#include "views/main/ProjectNoTasksView.h"

#include "views/main/Appearance.h"
#include "views/main/AssetNames.h"

#include <QLabel>
#include <QVBoxLayout>

namespace velmora {

ProjectNoTasksView::ProjectNoTasksView(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("ProjectNoTasksView"));
    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(10);
    layout->addStretch();

    auto* symbol = new QLabel(this);
    symbol->setPixmap(Assets::pixmap(QStringLiteral("doc.fill"), QSize(25, 25)));
    symbol->setAlignment(Qt::AlignCenter);
    layout->addWidget(symbol);

    auto* title = new QLabel(tr("No tasks here."), this);
    title->setObjectName(QStringLiteral("NoTasksTitle"));
    QFont large = font();
    large.setPointSizeF(large.pointSizeF() * 26.0 / 13.0);
    large.setBold(true);
    title->setFont(large);
    title->setAlignment(Qt::AlignCenter);
    layout->addWidget(title);

    auto* line = new QLabel(tr("Your calm mind is needed elsewhere."), this);
    line->setObjectName(QStringLiteral("NoTasksLine"));
    line->setAlignment(Qt::AlignCenter);
    line->setWordWrap(true);
    line->setFixedWidth(300);
    QPalette colors = line->palette();
    colors.setColor(QPalette::WindowText, Appearance::secondary(colors));
    line->setPalette(colors);
    layout->addWidget(line, 0, Qt::AlignHCenter);
    layout->addStretch();
}

} // namespace velmora
