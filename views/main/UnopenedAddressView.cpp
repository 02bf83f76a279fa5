#include "views/main/UnopenedAddressView.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

namespace velmora {

UnopenedAddressView::UnopenedAddressView(const QString& why, QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("unopenedAddress"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* text = new QLabel(tr("No browser could be opened. %1").arg(why), this);
    text->setTextFormat(Qt::PlainText);
    text->setWordWrap(true);
    layout->addWidget(text);
    auto* row = new QHBoxLayout;
    m_field = new QLineEdit(this);
    m_field->setObjectName(QStringLiteral("unopenedAddressField"));
    m_field->setReadOnly(true);
    row->addWidget(m_field, 1);
    m_copy = new QPushButton(tr("Copy"), this);
    m_copy->setObjectName(QStringLiteral("copyAddress"));
    m_copy->setAutoDefault(false);
    connect(m_copy, &QPushButton::clicked, this, [this] { QGuiApplication::clipboard()->setText(m_field->text()); });
    row->addWidget(m_copy);
    layout->addLayout(row);
    hide();
}

void UnopenedAddressView::showAddress(const QUrl& address) {
    m_field->setText(address.toString(QUrl::FullyEncoded));
    m_field->setCursorPosition(0);
    setVisible(!address.isEmpty());
}

} // namespace velmora
