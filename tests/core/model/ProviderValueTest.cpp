#include "core/model/AnyProvider.h"
#include "core/model/Coding.h"
#include "platform/store/ProviderStore.h"

#include <QTemporaryDir>
#include <QtGlobal>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace velmora;
using nlohmann::json;

namespace {

const QUuid accountId = QUuid::fromString(QStringLiteral("{6f1c2a9e-5b7d-4c1e-9a2b-3c4d5e6f7a8b}"));

ProviderEntity row(const QString& type, const QString& parameters, const QString& state = "operational") {
    ProviderEntity entity;
    entity.id = accountId;
    entity.name = "Work";
    entity.parametersValue = parameters;
    entity.stateValue = state;
    entity.typeValue = type;
    entity.user = ProviderUserEntity{"ext-1", "https://example.com/a.png", "Ada"};
    return entity;
}

// Collects the log lines written while it lives.
class LogCapture {
public:
    LogCapture() {
        lines().clear();
        m_previous = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext& context, const QString& text) {
                lines().push_back({type, QString::fromUtf8(context.category), text});
            });
    }
    ~LogCapture() { qInstallMessageHandler(m_previous); }

    struct Line {
        QtMsgType type;
        QString category;
        QString text;
    };
    static std::vector<Line>& lines() {
        static std::vector<Line> captured;
        return captured;
    }

private:
    QtMessageHandler m_previous;
};

} // namespace

TEST(ProviderValues, FreshAccountsStartEmptyAndOperational) {
    const JiraProvider jira;
    EXPECT_FALSE(jira.id().has_value());
    EXPECT_TRUE(jira.name().isEmpty());
    EXPECT_EQ(jira.type(), ProviderType::jira);
    EXPECT_TRUE(jira.parameters().organisation.isEmpty());
    EXPECT_EQ(jira.state(), ProviderState::operational);
    EXPECT_FALSE(jira.user().has_value());
    EXPECT_EQ(AsanaProvider().type(), ProviderType::asana);
    EXPECT_EQ(YouTrackProvider().type(), ProviderType::youTrack);

    // Unsaved accounts with equal fields are equal; a different avatar is not.
    const ProviderUser ada{"1", "Ada", "a.png"};
    YouTrackProvider a(std::nullopt, "YT", {"yt.example.com"}, ProviderState::operational, ada);
    YouTrackProvider b = a;
    EXPECT_EQ(a, b);
    b.setUser(ProviderUser{"1", "Ada", "b.png"});
    EXPECT_NE(a, b);
}

TEST(ProviderValues, KindAndStateRawTextsAreExact) {
    EXPECT_EQ(providerTypeFromRawText(u"Jira"), ProviderType::jira);
    EXPECT_EQ(providerTypeFromRawText(u"YouTrack"), ProviderType::youTrack);
    EXPECT_FALSE(providerTypeFromRawText(u"jira").has_value());
    EXPECT_FALSE(providerStateFromRawText(u"Operational").has_value());
    EXPECT_EQ(providerStateFromRawText(u"missingCredentials"), ProviderState::missingCredentials);
    EXPECT_EQ(std::vector<ProviderType>(allProviderTypes.begin(), allProviderTypes.end()),
              (std::vector<ProviderType>{ProviderType::youTrack, ProviderType::jira, ProviderType::asana}));
    EXPECT_EQ(imageName(ProviderType::asana), "Asana");
}

TEST(ProviderValues, CredentialsCodedFormsAreStrict) {
    EXPECT_EQ(encodeJsonText(JiraProvider::Credentials{"t", "r"}), R"({"token":"t","refreshToken":"r"})");
    EXPECT_EQ(encodeJsonText(AsanaProvider::Credentials::empty()), R"({"token":"","refreshToken":""})");
    EXPECT_EQ(encodeJsonText(YouTrackProvider::Credentials{"perm"}), R"({"token":"perm"})");

    EXPECT_FALSE(decodeJsonText<JiraProvider::Credentials>(R"({"token":"t"})").ok());
    EXPECT_FALSE(decodeJsonText<YouTrackProvider::Credentials>(R"({"refreshToken":"t"})").ok());
    EXPECT_FALSE(decodeJsonText<AsanaProvider::Credentials>(R"({"token":"t","refreshToken":null})").ok());
    EXPECT_FALSE(decodeJsonText<AsanaProvider::Credentials>("not json").ok());
    const auto emptyTokens = decodeJsonText<JiraProvider::Credentials>(R"({"token":"","refreshToken":""})");
    ASSERT_TRUE(emptyTokens.ok());
    EXPECT_EQ(emptyTokens.value(), JiraProvider::Credentials::empty());
    EXPECT_EQ(decodeJsonText<YouTrackProvider::Credentials>(R"({"token":""})").value(),
              YouTrackProvider::Credentials::empty());

    EXPECT_EQ(JiraProvider::Credentials::identifier(), "Jira");
    EXPECT_EQ(AsanaProvider::Credentials::identifier(), "Asana");
    EXPECT_EQ(YouTrackProvider::Credentials::identifier(), "YouTrack");
}

TEST(ProviderValues, RowsBecomeAccountsOfTheirKind) {
    const auto jira = anyProviderFromEntity(row("Jira", R"({"organisation":"abc"})"));
    ASSERT_TRUE(jira.ok()) << jira.error().toStdString();
    const auto* value = std::get_if<JiraProvider>(&jira.value());
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->id(), accountId);
    EXPECT_EQ(value->name(), "Work");
    EXPECT_EQ(value->parameters().organisation, "abc");
    EXPECT_EQ(value->user(), (ProviderUser{"ext-1", "Ada", "https://example.com/a.png"}));

    const auto asana = anyProviderFromEntity(row("Asana", R"({"workspace":"123"})", "missingCredentials"));
    ASSERT_TRUE(asana.ok());
    EXPECT_EQ(providerState(asana.value()), ProviderState::missingCredentials);
    EXPECT_EQ(std::get<AsanaProvider>(asana.value()).parameters().workspace, "123");

    // An empty base URL is a value like any other; an owner row without an avatar
    // reads as an empty avatar.
    ProviderEntity youTrackRow = row("YouTrack", R"({"baseUrl":""})");
    youTrackRow.user->avatar = QString();
    const auto youTrack = anyProviderFromEntity(youTrackRow);
    ASSERT_TRUE(youTrack.ok());
    EXPECT_TRUE(std::get<YouTrackProvider>(youTrack.value()).parameters().baseUrl.isEmpty());
    EXPECT_TRUE(providerUser(youTrack.value())->avatar.isEmpty());
}

TEST(ProviderValues, AccountsRoundTripThroughTheirRows) {
    const AsanaProvider asana(accountId, "Team", {"987"}, ProviderState::missingCredentials,
                              ProviderUser{"u9", "Bo", ""});
    const ProviderEntity entity = asana.toEntity();
    EXPECT_EQ(entity.typeValue, "Asana");
    EXPECT_EQ(entity.stateValue, "missingCredentials");
    EXPECT_EQ(entity.parametersValue, R"({"workspace":"987"})");
    EXPECT_EQ(AsanaProvider::fromEntity(entity).value(), asana);

    const YouTrackProvider youTrack(accountId, "YT", {""});
    EXPECT_EQ(youTrack.toEntity().parametersValue, R"({"baseUrl":""})");
    EXPECT_FALSE(youTrack.toEntity().user.has_value());

    // An unsaved account gives a row without an id: the store assigns it.
    EXPECT_TRUE(JiraProvider().toEntity().id.isNull());
}

TEST(ProviderValues, AccountsSurviveTheRealStore) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ProviderStore store(dir.filePath("Velmora.sqlite"));
    ASSERT_TRUE(store.isOpen());

    const AnyProvider saved =
        JiraProvider(accountId, "Jira ' OR 1=1 --", {"cloud-1"}, ProviderState::missingCredentials,
                     ProviderUser{"ext", "Ada", QString()});
    ASSERT_TRUE(store.insertProvider(toEntity(saved)).ok());
    const auto rows = store.fetchProviders();
    ASSERT_TRUE(rows.ok());
    const auto read = providersFromEntities(rows.value());
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read.front(), saved);
}

TEST(ProviderValues, DamagedRowsAreSkippedWithALogLineAndHideNothingElse) {
    ProviderEntity good = row("Jira", R"({"organisation":"abc"})");
    ProviderEntity badType = row("Trello", R"({"organisation":"abc"})");
    ProviderEntity badParameters = row("Asana", R"({"organisation":"abc"})");
    ProviderEntity badJson = row("YouTrack", "{");
    ProviderEntity badState = row("Jira", R"({"organisation":"abc"})", "Operational");
    ProviderEntity noId = good;
    noId.id = QUuid();
    ProviderEntity noUser = good;
    noUser.user.reset();

    LogCapture capture;
    const auto providers =
        providersFromEntities({badType, good, badParameters, badJson, badState, noId, noUser});
    ASSERT_EQ(providers.size(), 2u);
    EXPECT_EQ(std::get<JiraProvider>(providers[0]).parameters().organisation, "abc");
    // An account whose owner row is missing is still an account, just without a user.
    EXPECT_FALSE(providerUser(providers[1]).has_value());

    const auto& lines = LogCapture::lines();
    ASSERT_EQ(lines.size(), 5u);
    for (const auto& line : lines) {
        EXPECT_EQ(line.type, QtCriticalMsg);
        EXPECT_EQ(line.category, "app.velmora.Velmora.Data Manager");
        EXPECT_TRUE(line.text.startsWith("[ProviderEntity] ")) << line.text.toStdString();
    }
    EXPECT_TRUE(lines[1].text.endsWith("Provider is missing parameters"));

    // A kind's own reader refuses rows of another kind.
    EXPECT_FALSE(AsanaProvider::fromEntity(good).ok());
}
