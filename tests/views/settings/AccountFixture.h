#pragma once

#include "core/model/ShellHooks.h"
#include "core/net/APIRequest.h"
#include "core/storage/CredentialsManager.h"
#include "core/storage/ProviderManager.h"
#include "core/storage/SnapshotManager.h"
#include "platform/keyring/InMemoryKeyring.h"
#include "platform/net/SessionConfiguration.h"
#include "platform/store/ProviderStore.h"
#include "tests/support/EventLoop.h"
#include "tests/support/FakeHttpsServer.h"
#include "tests/support/FakeShellHooks.h"
#include "tests/support/FakeYouTrackServer.h"
#include "trackers/youtrack/YouTrackService.h"
#include "views/settings/YouTrackProviderViewModel.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QObject>
#include <QTemporaryDir>
#include <QUrl>

#include <gtest/gtest.h>

#include <memory>

namespace velmora::test {

// Takes the URLs the forms open in the browser.
class UrlRecorder : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened << url; }
};

// An account store and an in-memory keyring in a temporary folder behind the shared
// account manager, a recording shell, and the fake YouTrack instance that every
// YouTrack form reaches whatever base URL it was given ("yt.example.test" is the
// instance's name in these tests).
class AccountFixture : public ::testing::Test {
protected:
    AccountFixture()
        : store(dir.filePath(QStringLiteral("Velmora.sqlite"))), keyring(std::make_shared<InMemoryKeyring>()),
          credentials(keyring), snapshots(dir.filePath(QStringLiteral("Velmora.plist"))),
          manager(store, credentials, snapshots) {
        m_previous = ProviderManager::setShared(&manager);
        SessionConfiguration::setProcessExtraCaCertificates(FakeHttpsServer::trustedCaCertificates());
        qputenv("VELMORA_SERVER_URL", "maker.example.test");
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &browser, "open");
        const QString fake = youTrack.baseUrl();
        YouTrackProviderViewModel::setServiceMaker(
            [this, fake](const YouTrackProvider& provider,
                         const QString& token) -> std::shared_ptr<ProviderService> {
                requestedBaseUrls << provider.parameters().baseUrl;
                return std::make_shared<YouTrackService>(provider, APIRequest::youTrack(token, fake));
            });
    }
    ~AccountFixture() override {
        YouTrackProviderViewModel::setServiceMaker({});
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            widget->close();
            widget->deleteLater();
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        ProviderManager::setShared(m_previous);
    }

    // The alert a view shows, once it shows one.
    template <typename View> QMessageBox* waitForAlert(View& view) {
        waitUntil([&] { return view.alert() != nullptr; });
        return view.alert();
    }

    QTemporaryDir dir;
    ProviderStore store;
    std::shared_ptr<InMemoryKeyring> keyring;
    CredentialsManager credentials;
    SnapshotManager snapshots;
    ProviderManager manager;
    FakeShellHooks shell;
    FakeYouTrackServer youTrack;
    UrlRecorder browser;
    QStringList requestedBaseUrls;

private:
    ProviderManager* m_previous = nullptr;
};

} // namespace velmora::test
