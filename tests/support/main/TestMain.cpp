#include "SanitizerDefaults.h"
#include "platform/net/TlsLibrary.h"

#include <QCoreApplication>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

// Tests of non-visual code run inside a core application, so event loops,
// queued deliveries and network replies work as they do in the app.
int main(int argc, char** argv) {
    // As the app does: a test's network threads may still be ending as it exits.
    velmora::TlsLibrary::keepStateUntilExit();
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("VelmoraTests"));
    QCoreApplication::setApplicationName(QStringLiteral("VelmoraTests"));
    ::testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
