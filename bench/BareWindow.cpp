// The least a Qt Widgets app does before its first frame: a QMainWindow with one label.
// The start-up benchmark times it from exec to its first frame beside the app.
#include "app/FirstFrameExit.h"

#include <QApplication>
#include <QLabel>
#include <QMainWindow>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    velmora::FirstFrameExit::installIfAsked();
    QMainWindow window;
    window.setCentralWidget(new QLabel(QStringLiteral("Velmora")));
    window.show();
    return QApplication::exec();
}
