#include "core/net/ServerEndpoint.h"
#include "core/net/Configuration.h"

#include <gtest/gtest.h>

using namespace velmora;

TEST(ServerEndpoint, JoinsHostPathAndVersion) {
    qputenv("VELMORA_SERVER_URL", "server.example/base");
    const std::vector<std::pair<ServerEndpoint::Case, QString>> paths{
        {ServerEndpoint::JiraRedirect, "oauth/app/jira/redirect"},
        {ServerEndpoint::JiraRefresh, "oauth/app/jira/refresh"},
        {ServerEndpoint::AsanaRedirect, "oauth/app/asana/redirect"},
        {ServerEndpoint::AsanaRefresh, "oauth/app/asana/refresh"},
        {ServerEndpoint::Updates, "api/v1/app/updates"},
    };
    for (const auto& [endpoint, path] : paths) {
        EXPECT_EQ(ServerEndpoint(endpoint).path(), path);
        EXPECT_EQ(ServerEndpoint(endpoint).url(),
                  "https://server.example/base/" + path + "?appVersion=" + Configuration::shortVersion());
    }
    EXPECT_EQ(Configuration::shortVersion(), "1.0.0");

    // Without an override the compiled-in host is used; an empty override is none.
    qputenv("VELMORA_SERVER_URL", "");
    EXPECT_EQ(ServerEndpoint(ServerEndpoint::Updates).url(),
              QStringLiteral("https://velmora.app/api/v1/app/updates?appVersion=1.0.0"));
    qunsetenv("VELMORA_SERVER_URL");
    EXPECT_EQ(Configuration::application().value<QString>(Configuration::Key::ServerUrl).value(),
              "velmora.app");
}

TEST(ServerEndpoint, AServerHostThatCannotBeReadGivesNoUrlInsteadOfStopping) {
    EXPECT_EQ(ServerEndpoint(ServerEndpoint::JiraRefresh).url(Configuration({})), QString());
    EXPECT_EQ(
        ServerEndpoint(ServerEndpoint::JiraRefresh).url(Configuration({{"SERVER_URL", QVariantList{}}})),
        QString());
    EXPECT_EQ(ServerEndpoint(ServerEndpoint::Updates).url(Configuration({{"SERVER_URL", "h"}})),
              "https://h/api/v1/app/updates?appVersion=" + Configuration::shortVersion());
}

TEST(Configuration, ReadsEntriesOfTheAskedType) {
    using Key = Configuration::Key;
    using Error = Configuration::Error;
    EXPECT_EQ(Configuration::rawKey(Key::ServerUrl), "SERVER_URL");
    EXPECT_EQ(Configuration({{"SERVER_URL", "host"}}).value<QString>(Key::ServerUrl).value(), "host");
    EXPECT_EQ(Configuration({}).value<QString>(Key::ServerUrl).error(), Error::MissingKey);
    EXPECT_EQ(Configuration({{"SERVER_URL", 42}}).value<QString>(Key::ServerUrl).error(),
              Error::InvalidValue);
    // Text that makes the asked type is fine; text that does not is not.
    EXPECT_EQ(Configuration({{"SERVER_URL", "42"}}).value<int>(Key::ServerUrl).value(), 42);
    EXPECT_EQ(Configuration({{"SERVER_URL", "4x"}}).value<int>(Key::ServerUrl).error(), Error::InvalidValue);
    EXPECT_EQ(Configuration::bundleIdentifier(), "app.velmora.Velmora");
}
