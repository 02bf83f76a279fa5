#pragma once

#include <QList>
#include <QObject>
#include <QUrl>

namespace velmora::test {

// Takes the URLs the app opens in the browser (install with QDesktopServices::setUrlHandler).
class UrlRecorder : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened << url; }
};

} // namespace velmora::test
