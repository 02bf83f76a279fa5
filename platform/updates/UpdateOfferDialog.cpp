#include "platform/updates/UpdateOfferDialog.h"

#include "platform/updates/ReleaseNotesBrowser.h"

#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace velmora {

UpdateOfferDialog::UpdateOfferDialog(const AppcastItem& item, const QString& currentVersion, QWidget* parent)
    : QDialog(parent), m_item(item) {
    const QString app = QGuiApplication::applicationDisplayName();
    setWindowTitle(tr("Software Update"));
    setAttribute(Qt::WA_DeleteOnClose);
    resize(520, 400);

    m_headline = new QLabel(tr("A new version of %1 is available!").arg(app), this);
    QFont bold = m_headline->font();
    bold.setBold(true);
    m_headline->setFont(bold);
    m_details = new QLabel(tr("%1 %2 is now available—you have %3. Would you like to download it now?")
                               .arg(app, item.displayVersion(), currentVersion),
                           this);
    m_details->setWordWrap(true);

    // Release notes come from the server: shown as HTML, but nothing in them is fetched
    // and no link in them is followed from here.
    m_releaseNotes = new ReleaseNotesBrowser(this);
    m_releaseNotes->setNotes(item.releaseNotes);

    auto* buttons = new QDialogButtonBox(this);
    m_later = buttons->addButton(tr("Remind Me Later"), QDialogButtonBox::RejectRole);
    m_download = buttons->addButton(tr("Download"), QDialogButtonBox::AcceptRole);
    m_download->setDefault(true);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_download, &QPushButton::clicked, this, [this] {
        emit downloadRequested(m_item.downloadLink);
        QDesktopServices::openUrl(m_item.downloadLink);
        accept();
    });

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_headline);
    layout->addWidget(m_details);
    layout->addWidget(new QLabel(tr("Release Notes:"), this));
    layout->addWidget(m_releaseNotes, 1);
    layout->addWidget(buttons);
}

QString UpdateOfferDialog::headline() const {
    return m_headline->text() + QLatin1Char('\n') + m_details->text();
}

QString UpdateOfferDialog::releaseNotesText() const {
    return m_releaseNotes->toPlainText();
}

} // namespace velmora
