#pragma once

#include "platform/updates/AppcastItem.h"

#include <QDialog>

class QLabel;
class QPushButton;

namespace velmora {

class ReleaseNotesBrowser;

// Offers a newer version: what it is, its release notes, and a button that opens its
// download page in the browser. Nothing is downloaded or installed here.
class UpdateOfferDialog : public QDialog {
    Q_OBJECT
public:
    UpdateOfferDialog(const AppcastItem& item, const QString& currentVersion, QWidget* parent = nullptr);

    QString headline() const;
    QString releaseNotesText() const;
    QPushButton* downloadButton() const { return m_download; }
    QPushButton* laterButton() const { return m_later; }

signals:
    // The download page is about to be opened.
    void downloadRequested(const QUrl& page);

private:
    AppcastItem m_item;
    QLabel* m_headline = nullptr;
    QLabel* m_details = nullptr;
    ReleaseNotesBrowser* m_releaseNotes = nullptr;
    QPushButton* m_download = nullptr;
    QPushButton* m_later = nullptr;
};

} // namespace velmora
