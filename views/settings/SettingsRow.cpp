#include "views/settings/SettingsRow.h"

#include "views/main/Appearance.h"
#include "views/main/PlainText.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace velmora {

SettingsRow::SettingsRow(const QString& title, const QString& footnote, QWidget* control, QWidget* parent)
    : QWidget(parent), m_control(control) {
    m_title = new QLabel(this);
    // Account rows are titled with names.
    setPlainText(m_title, title);
    m_title->setWordWrap(true);
    m_footnote = new QLabel(footnote, this);
    m_footnote->setWordWrap(true);
    m_footnote->setFont(Appearance::scaledFont(m_footnote->font(), 0.85));
    QPalette secondary = m_footnote->palette();
    secondary.setColor(QPalette::WindowText, Appearance::secondary(palette()));
    m_footnote->setPalette(secondary);
    m_footnote->setVisible(!footnote.isEmpty());

    auto* labels = new QVBoxLayout;
    labels->setSpacing(2);
    labels->addWidget(m_title);
    labels->addWidget(m_footnote);

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(10, 7, 10, 7);
    layout->setSpacing(12);
    layout->addLayout(labels, 1);
    if (control != nullptr)
        layout->addWidget(control, 0, Qt::AlignVCenter);
}

QString SettingsRow::title() const {
    return m_title->text();
}

QString SettingsRow::footnote() const {
    return m_footnote->text();
}

void SettingsRow::setFootnote(const QString& footnote) {
    m_footnote->setText(footnote);
    m_footnote->setVisible(!footnote.isEmpty());
}

} // namespace velmora
