#pragma once

#include "tests/support/FakeJiraServer.h"
#include "tests/support/FakeRefreshServer.h"

namespace velmora::test {

// The maker's Jira refresh endpoint, granting tokens the fake Jira then accepts.
//
//   test::FakeJiraServer jira;
//   test::FakeJiraRefreshServer maker(jira);
//   maker.addRefreshToken("refresh-1", "acc-me");
//   qputenv("VELMORA_SERVER_URL", maker.hostAndPort().toUtf8());
class FakeJiraRefreshServer : public FakeRefreshServer {
public:
    explicit FakeJiraRefreshServer(FakeJiraServer& jira)
        : FakeRefreshServer(
              QStringLiteral("/oauth/app/jira/refresh"),
              [&jira](const QString& token, const QString& account) { jira.addToken(token, account); }) {}
};

} // namespace velmora::test
