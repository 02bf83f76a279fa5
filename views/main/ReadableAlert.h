#pragma once

class QMessageBox;

namespace velmora {

// What every alert and confirmation of the app does before it opens: every text shown
// as plain text (never markup, whoever wrote it), a width at which its text reads as
// lines rather than a column (a message box otherwise takes the width of its headline,
// however long the explanation under it), and buttons that carry their text alone, as
// the buttons of the windows do.
//
// A message box lays itself out again when its texts change: call this last, right
// before the box opens.
class ReadableAlert {
public:
    static void prepare(QMessageBox& box);
    // The least width given to the texts of `box`, in pixels.
    static int minimumTextWidth(const QMessageBox& box);
};

} // namespace velmora
