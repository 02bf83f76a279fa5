#include "core/storage/CredentialLoading.h"

#include "core/model/ShellHooks.h"
#include "core/storage/ProviderManager.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

namespace velmora {

void markMissingCredentials(const QUuid& id) {
    auto mark = [id] {
        ProviderManager::shared().setState(ProviderState::missingCredentials, id);
        ShellHooks::instance().selectDefaultProvider(true);
    };
    QCoreApplication* app = QCoreApplication::instance();
    if (app && QThread::currentThread() != app->thread()) {
        QMetaObject::invokeMethod(app, mark, Qt::QueuedConnection);
        return;
    }
    mark();
}

} // namespace velmora
