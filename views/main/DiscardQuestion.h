#pragma once

#include <QString>

class QMessageBox;
class QPushButton;
class QWidget;

namespace velmora {

// The question asked before time is let go for good ("Discard 1h 30m on WEB-1?"), with
// Discard and Keep. Keep is the default and the escape, so Return or Escape as it opens
// loses nothing; the default look follows the focus, so Return presses what is drawn as
// the default. Window-modal, gone once answered.
struct DiscardQuestion {
    QMessageBox* box = nullptr;
    QPushButton* discard = nullptr;

    static DiscardQuestion make(const QString& question, const QString& consequence, QWidget* parent);
};

} // namespace velmora
