#include "IntrospectionStore.h"

#include "IntrospectionAnchor.h"
#include "IntrospectionView.h"

#include <QCoreApplication>
#include <QHash>
#include <QThread>

namespace velmora::introspection {

namespace {

struct Pair {
    QPointer<IntrospectionView> view;
    QPointer<IntrospectionAnchor> anchor;
};

QHash<QUuid, Pair>& pairs() {
    Q_ASSERT(QCoreApplication::instance() == nullptr ||
             QThread::currentThread() == QCoreApplication::instance()->thread());
    static QHash<QUuid, Pair> store;
    return store;
}

} // namespace

void IntrospectionStore::registerAnchor(const QUuid& id, IntrospectionAnchor* anchor) {
    pairs()[id].anchor = anchor;
}

void IntrospectionStore::registerView(const QUuid& id, IntrospectionView* view) {
    pairs()[id].view = view;
}

void IntrospectionStore::release(const QUuid& id, const QObject* widget) {
    auto it = pairs().find(id);
    if (it == pairs().end())
        return;
    // The widget is still being destroyed, so its own pointer has not cleared yet.
    if (it->view == widget)
        it->view = nullptr;
    if (it->anchor == widget)
        it->anchor = nullptr;
    if (it->view.isNull() && it->anchor.isNull())
        pairs().erase(it);
}

IntrospectionAnchor* IntrospectionStore::anchor(const QUuid& id) {
    auto it = pairs().constFind(id);
    return it == pairs().constEnd() ? nullptr : it->anchor.data();
}

IntrospectionView* IntrospectionStore::view(const QUuid& id) {
    auto it = pairs().constFind(id);
    return it == pairs().constEnd() ? nullptr : it->view.data();
}

std::size_t IntrospectionStore::size() {
    return static_cast<std::size_t>(pairs().size());
}

} // namespace velmora::introspection
