#pragma once

#include "core/model/AnyProvider.h"

#include <QObject>
#include <QPointer>

#include <vector>

namespace velmora {

class ProviderStore;

// The stored accounts for a view, in ascending order of name (whatever their state or
// kind), kept up to date: every committed change of the store (by this thread's
// connection or any other on the same file) refreshes the list, and
// `providersChanged` tells the view when it differs. Rows that cannot be read are
// left out (and logged). Main thread only.
class FetchProviders : public QObject {
    Q_OBJECT
public:
    // On the main thread's store of ProviderManager::shared().
    explicit FetchProviders(QObject* parent = nullptr);
    explicit FetchProviders(ProviderStore& store, QObject* parent = nullptr);

    const std::vector<AnyProvider>& providers() const { return m_providers; }

    // Reads the store again (done by itself on every change).
    void refresh();

signals:
    void providersChanged();

private:
    QPointer<ProviderStore> m_store;
    std::vector<AnyProvider> m_providers;
};

} // namespace velmora
