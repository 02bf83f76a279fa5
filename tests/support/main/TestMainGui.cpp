#include "SanitizerDefaults.h"
#include "platform/net/TlsLibrary.h"

#include <QApplication>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

// Widget tests need a full application object (offscreen in CI).
int main(int argc, char** argv) {
    // As the app does: a test's network threads may still be ending as it exits.
    velmora::TlsLibrary::keepStateUntilExit();
    // Test discovery runs the executable without the tests' environment: without a
    // display of its own it must still start.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("VelmoraTests"));
    QCoreApplication::setApplicationName(QStringLiteral("VelmoraTests"));
    ::testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
