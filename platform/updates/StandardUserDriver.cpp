#include "platform/updates/StandardUserDriver.h"

#include "platform/updates/UpdateOfferDialog.h"

#include <QGuiApplication>
#include <QMessageBox>

namespace velmora {

namespace {
void inform(QMessageBox::Icon icon, const QString& title, const QString& text) {
    auto* box = new QMessageBox(icon, title, text, QMessageBox::Ok);
    // Shown as text, never guessed to be markup (these boxes have no explanation label,
    // which the box's format would not reach).
    box->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}
} // namespace

void StandardUserDriver::showUpdateFound(const AppcastItem& item, const QString& currentVersion) {
    if (m_offer)
        m_offer->close();
    m_offer = new UpdateOfferDialog(item, currentVersion);
    m_offer->show();
    m_offer->raise();
    m_offer->activateWindow();
}

void StandardUserDriver::showUpdateNotFound(const QString& currentVersion) {
    const QString app = QGuiApplication::applicationDisplayName();
    inform(QMessageBox::Information, QObject::tr("You're up to date!"),
           QObject::tr("%1 %2 is currently the newest version available.").arg(app, currentVersion));
}

void StandardUserDriver::showUpdaterError(const QString& message) {
    inform(QMessageBox::Warning, QObject::tr("Update Error!"), message);
}

} // namespace velmora
