#include <QApplication>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

// Widget tests need a full application object (offscreen in CI).
int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("VelmoraTests"));
    QCoreApplication::setApplicationName(QStringLiteral("VelmoraTests"));
    ::testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
