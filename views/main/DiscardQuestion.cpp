#include "views/main/DiscardQuestion.h"

#include "views/main/BookingTexts.h"
#include "views/main/ReadableAlert.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QPushButton>

namespace velmora {

DiscardQuestion DiscardQuestion::make(const QString& question, const QString& consequence, QWidget* parent) {
    auto* box = new QMessageBox(QMessageBox::Question,
                                QCoreApplication::translate("BookingStatusView", "Discard time"), question,
                                QMessageBox::NoButton, parent);
    box->setInformativeText(consequence);
    QPushButton* discard = box->addButton(BookingTexts::discardButton, QMessageBox::DestructiveRole);
    QPushButton* keep = box->addButton(QCoreApplication::translate("BookingStatusView", "Keep"),
                                       QMessageBox::RejectRole);
    box->setDefaultButton(keep);
    box->setEscapeButton(keep);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    ReadableAlert::prepare(*box);
    return {box, discard};
}

} // namespace velmora
