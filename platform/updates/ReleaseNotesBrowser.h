#pragma once

#include "platform/richtext/OutsideTextBrowser.h"

namespace velmora {

// Release notes as the server sent them: HTML, but nothing they name is ever read, not
// an image, not a style sheet, not a local file, no link is followed from here, and the
// markup is bounded before layout as a tracker's is (nested tables would otherwise
// freeze the window for as long as they take to lay out); they are laid out once per width
// (see OutsideTextBrowser).
class ReleaseNotesBrowser : public OutsideTextBrowser {
    Q_OBJECT
public:
    explicit ReleaseNotesBrowser(QWidget* parent = nullptr);

    // The notes, bounded, as the browser's content.
    void setNotes(const QString& html);

    // The notes' document answers resources itself and never asks here; this answers
    // whatever else would, such as setSource(): always the document's placeholder (a
    // transparent pixel for an image, empty bytes otherwise), never a file.
    QVariant loadResource(int type, const QUrl& name) override;
};

} // namespace velmora
