#pragma once

#include "core/model/AnyProvider.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <vector>

namespace velmora {

class ProviderStore;

// The stored accounts for a view, in ascending order of name (whatever their state or
// kind), kept up to date: every committed change of the store (by this thread's
// connection or any other on the same file) refreshes the list, and
// `providersChanged` tells the view when it differs. Rows that cannot be read are
// left out (and logged); a store that cannot be read at all (a damaged file) keeps
// the last list and sets `readFailed`. Main thread only.
class FetchProviders : public QObject {
    Q_OBJECT
public:
    // On the main thread's store of ProviderManager::shared().
    explicit FetchProviders(QObject* parent = nullptr);
    explicit FetchProviders(ProviderStore& store, QObject* parent = nullptr);

    const std::vector<AnyProvider>& providers() const { return m_providers; }
    // Whether the last read of the store failed: the list is then what was read before
    // (perhaps nothing), not what is stored. A change of it is announced too.
    bool readFailed() const { return m_readFailed; }
    // The store's file.
    QString storePath() const;

    // Reads the store again (done by itself on every change).
    void refresh();

signals:
    void providersChanged();

private:
    QPointer<ProviderStore> m_store;
    std::vector<AnyProvider> m_providers;
    bool m_readFailed = false;
};

} // namespace velmora
