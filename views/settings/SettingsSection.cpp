#include "views/settings/SettingsSection.h"

#include "views/main/Appearance.h"
#include "views/settings/SettingsRow.h"

#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

namespace velmora {

namespace {

// The rounded box behind a section's rows.
class SectionBox : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
        painter.setPen(QPen(Appearance::quaternary(palette()), 1));
        painter.setBrush(Appearance::quinary(palette()));
        painter.drawRoundedRect(box, 6, 6);
    }
};

class Hairline : public QWidget {
public:
    explicit Hairline(QWidget* parent) : QWidget(parent) { setFixedHeight(1); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.fillRect(rect().adjusted(10, 0, -10, 0), Appearance::quaternary(palette()));
    }
};

} // namespace

SettingsSection::SettingsSection(const QString& header, QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    m_header = new QLabel(header, this);
    QFont bold = m_header->font();
    bold.setBold(true);
    m_header->setFont(bold);
    m_header->setContentsMargins(10, 0, 0, 0);
    m_header->setVisible(!header.isEmpty());
    layout->addWidget(m_header);

    m_box = new SectionBox(this);
    m_rowsLayout = new QVBoxLayout(m_box);
    m_rowsLayout->setContentsMargins(0, 2, 0, 2);
    m_rowsLayout->setSpacing(0);
    layout->addWidget(m_box);
}

QString SettingsSection::header() const {
    return m_header->text();
}

void SettingsSection::addRow(SettingsRow* row) {
    if (!m_rows.isEmpty())
        m_rowsLayout->addWidget(new Hairline(m_box));
    m_rowsLayout->addWidget(row);
    m_rows.append(row);
}

} // namespace velmora
