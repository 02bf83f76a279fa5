#include "core/model/Logger.h"

#include <gtest/gtest.h>

using namespace velmora;

namespace {
std::vector<std::pair<QString, QString>> captured;
void capture(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtCriticalMsg) {
        captured.emplace_back(QString::fromUtf8(context.category), text);
    }
}
} // namespace

TEST(Logger, CategoriesAreNamedAfterTheBundleAndErrorsAreWrittenVerbatim) {
    EXPECT_STREQ(Logger::keychain().categoryName(), "app.velmora.Velmora.Keychain");
    EXPECT_STREQ(Logger::network().categoryName(), "app.velmora.Velmora.Network");
    EXPECT_STREQ(Logger::dataManager().categoryName(), "app.velmora.Velmora.Data Manager");
    EXPECT_STREQ(Logger::apiLogging().categoryName(), "app.velmora.Velmora.API Logging");
    EXPECT_STREQ(Logger::backgroundTask().categoryName(), "app.velmora.Velmora.Background Task");
    EXPECT_EQ(&Logger::network(), &Logger::network()) << "one category per process";

    captured.clear();
    const auto previous = qInstallMessageHandler(capture);
    // Format characters in the text are text, never directives.
    logError(Logger::dataManager(),
             "[ProviderManager] An error occurred while fetching providers: 100% %s %n");
    QLoggingCategory::setFilterRules("app.velmora.Velmora.Network.critical=false");
    logError(Logger::network(), "switched off");
    QLoggingCategory::setFilterRules(QString());
    qInstallMessageHandler(previous);

    ASSERT_EQ(captured.size(), 1u);
    EXPECT_EQ(captured[0].first, "app.velmora.Velmora.Data Manager");
    EXPECT_EQ(captured[0].second, "[ProviderManager] An error occurred while fetching providers: 100% %s %n");
}
