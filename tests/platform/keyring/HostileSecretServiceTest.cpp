#include "HostileSecretService.h"

#include "platform/keyring/SecretServiceKeyring.h"

#include <gtest/gtest.h>

#include <optional>

using namespace velmora;
using namespace std::chrono_literals;
using Trick = HostileSecretService::Trick;
using Kind = KeyringError::Kind;

namespace {

constexpr char prefix[] = "app.velmora.tests.hostile";
const QByteArray token = R"({"token":"held by the service"})";

class HostileSecretServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_service.ok()) << "no bus daemon of the tests' own";
        m_service.hold(QByteArray(prefix) + ".A", token);
    }
    HostileSecretService m_service;
};

struct LoadCase {
    Trick trick;
    std::optional<Kind> failure; // none: the held token is loaded
    const char* unseen;          // a call the service must not see
    const char* seen;            // one it must
};

} // namespace

TEST_F(HostileSecretServiceTest, EachHostileAnswerIsRefusedAndNoneEndsTheProgram) {
    const std::pair<const char*, LoadCase> cases[] = {
        {"session path as a string", {Trick::SessionPathAsString, Kind::Unavailable, "SearchItems", nullptr}},
        {"another peer refuses first",
         {Trick::SpoofNotSupported, std::nullopt, "OpenSession plain", nullptr}},
        {"another peer finds nothing first", {Trick::SpoofNoItems, std::nullopt, nullptr, nullptr}},
        {"a search of 100,000 paths", {Trick::ManyPaths, Kind::Unavailable, "GetSecret", nullptr}},
        {"a 50 MB error text", {Trick::HugeError, Kind::Unavailable, nullptr, nullptr}},
        {"a secret of 40 MiB", {Trick::HugeSecret, Kind::Unavailable, nullptr, nullptr}},
        {"an error text of 8 KiB", {Trick::LongError, Kind::Unavailable, nullptr, nullptr}},
        {"a secret of 6 MiB", {Trick::LargeSecret, Kind::Unavailable, nullptr, nullptr}},
        {"a secret of another session", {Trick::OtherSession, Kind::Failed, nullptr, nullptr}},
        {"server key 0", {Trick::KeyZero, Kind::Unavailable, "SearchItems", nullptr}},
        {"server key 1", {Trick::KeyOne, Kind::Unavailable, "SearchItems", nullptr}},
        {"server key p - 1", {Trick::KeyPrimeMinusOne, Kind::Unavailable, "SearchItems", nullptr}},
        {"encryption refused by failing",
         {Trick::FailedOnDh, Kind::Unavailable, "OpenSession plain", nullptr}},
        {"encryption not supported", {Trick::PlainOnly, std::nullopt, nullptr, "OpenSession plain"}},
        {"a shared secret with a leading zero", {Trick::LeadingZeroShared, std::nullopt, nullptr, nullptr}},
        {"an IV of 15 bytes", {Trick::ShortIv, Kind::Failed, nullptr, nullptr}},
    };
    for (const auto& [name, c] : cases) {
        m_service.play(c.trick);
        (void)m_service.takeCalls();
        auto loaded = SecretServiceKeyring(prefix, 10s).load(QStringLiteral("A"));
        const QStringList calls = m_service.takeCalls();
        const auto why = loaded.ok() ? std::nullopt : std::optional(loaded.error().kind);
        EXPECT_EQ(why, c.failure) << name << ": "
                                  << (loaded.ok() ? "" : loaded.error().message.toStdString());
        EXPECT_TRUE(!loaded.ok() || loaded.value() == token) << name;
        EXPECT_TRUE(!c.unseen || !calls.contains(QLatin1String(c.unseen)))
            << name << ": " << calls.join(", ").toStdString();
        EXPECT_TRUE(!c.seen || calls.contains(QLatin1String(c.seen)))
            << name << ": " << calls.join(", ").toStdString();
    }
}

TEST_F(HostileSecretServiceTest, TheServicesErrorTextIsOneQuotedBoundedLine) {
    m_service.play(Trick::ForgedLogLine);
    auto loaded = SecretServiceKeyring(prefix, 10s).load(QStringLiteral("A"));
    ASSERT_FALSE(loaded.ok());
    const QString text = loaded.error().message;
    EXPECT_FALSE(text.contains(QLatin1Char('\n'))) << text.toStdString();
    EXPECT_TRUE(text.contains(QLatin1String(R"("no such thing\n[keyring] forged)"))) << text.toStdString();
}

// Replaced by another peer, or started again under the same one (its sessions gone).
TEST_F(HostileSecretServiceTest, AReplacedOrRestartedServiceIsPickedUpAtTheNextCall) {
    for (const bool samePeer : {false, true}) {
        SecretServiceKeyring keyring(prefix, 10s);
        ASSERT_TRUE(keyring.load(QStringLiteral("A")).ok());
        samePeer ? m_service.forgetSessions() : m_service.replace();
        for (int call = 0; call < 2; ++call) {
            auto loaded = keyring.load(QStringLiteral("A"));
            ASSERT_TRUE(loaded.ok()) << samePeer << call << ": " << loaded.error().message.toStdString();
            EXPECT_EQ(loaded.value(), std::optional<QByteArray>(token));
        }
    }
}

TEST_F(HostileSecretServiceTest, StoresThatCannotLandOrMayHaveLanded) {
    SecretServiceKeyring keyring(prefix, 1s);
    m_service.play(Trick::Prompt);
    auto prompted = keyring.store(QStringLiteral("B"), QStringLiteral("Jira"), "b");
    ASSERT_FALSE(prompted.ok());
    EXPECT_EQ(prompted.error().kind, Kind::Locked);
    EXPECT_TRUE(m_service.takeCalls().contains(QLatin1String("Dismiss")));

    m_service.play(Trick::None);
    (void)m_service.takeCalls();
    auto huge = keyring.store(QStringLiteral("C"), QStringLiteral("Jira"), QByteArray(64 << 20, 'c'));
    EXPECT_FALSE(huge.ok());
    EXPECT_FALSE(m_service.takeCalls().contains(QLatin1String("CreateItem")));

    // Stored, but its answer never came: found there, it counts as stored.
    m_service.play(Trick::StoreWithoutAnswer);
    auto unanswered = keyring.store(QStringLiteral("D"), QStringLiteral("Jira"), "d");
    EXPECT_TRUE(unanswered.ok()) << unanswered.error().message.toStdString();
    EXPECT_EQ(m_service.secretOf(QByteArray(prefix) + ".D"), QByteArray("d"));
}
