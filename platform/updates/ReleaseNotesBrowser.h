#pragma once

#include <QTextBrowser>

namespace velmora {

// Release notes as the server sent them: HTML, but nothing they name is ever read, not
// an image, not a style sheet, not a local file, no link is followed from here, and the
// markup is bounded before layout as a tracker's is (nested tables would otherwise
// freeze the window for as long as they take to lay out).
class ReleaseNotesBrowser : public QTextBrowser {
    Q_OBJECT
public:
    explicit ReleaseNotesBrowser(QWidget* parent = nullptr);

    // The notes, bounded, as the browser's content.
    void setNotes(const QString& html);

    // An empty resource of the asked kind, always: a transparent pixel for an image.
    // (An empty QVariant or a null image would let the document read a local file
    // itself.)
    QVariant loadResource(int type, const QUrl& name) override;
};

} // namespace velmora
