#pragma once

#include <QTextDocument>

namespace velmora {

// A text document for HTML from outside: nothing it names is ever loaded. Qt's own
// document reads any image or style sheet it cannot get otherwise from the file system
// (a path, a file: or qrc: URL, a relative name), and its image handler reads the file
// itself when the resource is no image; a description naming /dev/zero, a FIFO or the
// user's pictures would be read, block or be shown. Here every image is a transparent
// placeholder pixel and every other resource is empty.
class OutsideTextDocument : public QTextDocument {
    Q_OBJECT

public:
    explicit OutsideTextDocument(QObject* parent = nullptr);

    // The fragment bounded (see boundOutsideHtml) and set as the document's HTML.
    void setOutsideHtml(const QString& html);

    // What stands for any resource of `type`.
    static QVariant placeholder(int type);

protected:
    QVariant loadResource(int type, const QUrl& name) override;
};

} // namespace velmora
