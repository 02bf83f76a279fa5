#pragma once

#include <QObject>

class QCoreApplication;

namespace velmora {

// Return (or Enter) on a button that has the keyboard focus presses it, as Space does, in
// every window and sheet of the app. Qt leaves Return to a dialog's default button: a push
// button that is not (auto) default passes it on to its dialog, which presses its default
// button or, with none, nothing; tool buttons and buttons outside dialogs ignore it. Check
// boxes and radio buttons keep Qt's way (Return is the form's, Space toggles them).
//
// Installed once on the application object, ahead of the widgets' own key handling.
class ReturnPressesFocusedButton : public QObject {
    Q_OBJECT

public:
    // The application's filter, made on the first call.
    static ReturnPressesFocusedButton* install(QCoreApplication& application);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    explicit ReturnPressesFocusedButton(QObject* parent) : QObject(parent) {}
};

} // namespace velmora
