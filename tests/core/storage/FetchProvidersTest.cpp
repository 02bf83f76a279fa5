#include "core/storage/FetchProviders.h"
#include "core/storage/FetchProvider.h"
#include "tests/core/storage/StorageFixture.h"
#include "tests/support/EventLoop.h"

#include <QSignalSpy>

using namespace velmora;

namespace {
class FetchProvidersTest : public test::StorageFixture {};

QStringList names(const std::vector<AnyProvider>& providers) {
    QStringList out;
    for (const auto& p : providers) {
        out << providerName(p);
    }
    return out;
}
} // namespace

TEST_F(FetchProvidersTest, TheListFollowsTheStore) {
    FetchProviders fetch(store);
    EXPECT_TRUE(fetch.providers().empty());
    QSignalSpy changed(&fetch, &FetchProviders::providersChanged);

    saved(jira(QStringLiteral("Zulu")));
    const auto broken = saved(asana(QStringLiteral("Alpha"), ProviderState::missingCredentials));
    saved(youTrack(QStringLiteral("Mike")));
    EXPECT_EQ(names(fetch.providers()),
              (QStringList{QStringLiteral("Alpha"), QStringLiteral("Mike"), QStringLiteral("Zulu")}));
    EXPECT_EQ(changed.count(), 3);

    ASSERT_TRUE(manager.deleteProvider(*broken.id()).ok());
    EXPECT_EQ(names(fetch.providers()), (QStringList{QStringLiteral("Mike"), QStringLiteral("Zulu")}));

    // A change through another connection to the same file arrives through the event loop.
    ProviderStore other(store.path());
    ASSERT_TRUE(
        other.setState(*providerId(fetch.providers()[0]), rawText(ProviderState::missingCredentials)).ok());
    ASSERT_TRUE(test::waitUntil(
        [&] { return providerState(fetch.providers()[0]) == ProviderState::missingCredentials; }));
}

TEST_F(FetchProvidersTest, TheOneAccountFollowsItsRow) {
    const auto account = saved(jira(QStringLiteral("Before")));
    const auto other = saved(jira(QStringLiteral("Other")));
    FetchProvider fetch(store);
    EXPECT_FALSE(fetch.provider().has_value());
    fetch.setProviderId(account.id());
    ASSERT_TRUE(fetch.provider().has_value());
    EXPECT_EQ(providerName(*fetch.provider()), QStringLiteral("Before"));

    QSignalSpy changed(&fetch, &FetchProvider::providerChanged);
    JiraProvider renamed = account;
    renamed.setName(QStringLiteral("After"));
    saved(renamed);
    EXPECT_EQ(providerName(*fetch.provider()), QStringLiteral("After"));
    EXPECT_EQ(changed.count(), 1);

    // Changes of other accounts are no change of this one.
    JiraProvider otherRenamed = other;
    otherRenamed.setName(QStringLiteral("Other 2"));
    saved(otherRenamed);
    EXPECT_EQ(changed.count(), 1);

    ASSERT_TRUE(manager.deleteProvider(*account.id()).ok());
    EXPECT_FALSE(fetch.provider().has_value());
    EXPECT_EQ(changed.count(), 2);
}
