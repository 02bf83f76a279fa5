#pragma once

#include "state/TimerViewModel.h"
#include "views/main/TimeLabel.h"

#include <QPointer>
#include <QWidget>

class QLineEdit;
class QStackedLayout;

namespace velmora {

class ElapsedTicker;

// The elapsed time of the window's timer, refreshed with each second a running timer
// gathers; a click turns it into a text field ("H", "H:M" or "H:M:S", minutes and
// seconds below 60) in which the user types a new elapsed time, and so do Return,
// Space, F2 or a figure typed while the time has the keyboard (Tab stops at it). Return
// or leaving the field ends the edit and hands a changed value to the timer; Escape
// ends it leaving the timer alone, and so does text that does not read as a time.
class TimeEditFieldView : public QWidget {
    Q_OBJECT

public:
    static inline const QString placeholder = QStringLiteral("00:00:00");

    explicit TimeEditFieldView(TimerViewModel& timer, QWidget* parent = nullptr);

    bool isEditing() const { return m_editing; }
    // The value the field holds while editing, and the one it began with.
    double value() const { return m_value; }
    double initialValue() const { return m_initialValue; }

    // The running time as shown (long style, "00:00" when it has no text).
    QString elapsedText() const;
    TimeLabel* elapsedLabel() const { return m_label; }
    QLineEdit* textField() const { return m_field; }

    // A click on the time.
    void beginEdit();
    // Return in the field, leaving it, or a timer button clicked while the field is open.
    void commitEdit();
    // Escape in the field: the edit ends, the timer keeps its time.
    void cancelEdit();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Takes the typed text into `m_value` when it reads as a time.
    void takeText();
    void endEdit();
    void refresh();

    QPointer<TimerViewModel> m_timer;
    double m_value = 0;
    double m_initialValue = 0;
    bool m_editing = false;
    bool m_ending = false;
    QStackedLayout* m_stack = nullptr;
    TimeLabel* m_label = nullptr;
    QLineEdit* m_field = nullptr;
    ElapsedTicker* m_ticker = nullptr;
};

} // namespace velmora
