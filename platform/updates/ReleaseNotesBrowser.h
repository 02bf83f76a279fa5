#pragma once

#include <QTextBrowser>

namespace velmora {

// Release notes as the server sent them: HTML, but nothing they name is ever read, not
// an image, not a style sheet, not a local file, and no link is followed from here.
class ReleaseNotesBrowser : public QTextBrowser {
    Q_OBJECT
public:
    explicit ReleaseNotesBrowser(QWidget* parent = nullptr);

    // An empty resource of the asked kind, always: a transparent pixel for an image.
    // (An empty QVariant or a null image would let the document read a local file
    // itself.)
    QVariant loadResource(int type, const QUrl& name) override;
};

} // namespace velmora
