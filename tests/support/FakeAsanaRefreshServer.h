#pragma once

#include "tests/support/FakeAsanaServer.h"
#include "tests/support/FakeRefreshServer.h"

namespace velmora::test {

// The maker's Asana refresh endpoint, granting tokens the fake Asana then accepts.
//
//   test::FakeAsanaServer asana;
//   test::FakeAsanaRefreshServer maker(asana);
//   maker.addRefreshToken("refresh-1", "u1");
//   qputenv("VELMORA_SERVER_URL", maker.hostAndPort().toUtf8());
class FakeAsanaRefreshServer : public FakeRefreshServer {
public:
    explicit FakeAsanaRefreshServer(FakeAsanaServer& asana)
        : FakeRefreshServer(
              QStringLiteral("/oauth/app/asana/refresh"),
              [&asana](const QString& token, const QString& user) { asana.addToken(token, user); }) {}
};

} // namespace velmora::test
