#include "IntrospectionView.h"

#include "IntrospectionAnchor.h"
#include "IntrospectionStore.h"
#include "PlatformEntity.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThread>

namespace velmora::introspection {

namespace {
void assertMainThread() {
    Q_ASSERT(QThread::currentThread() == QCoreApplication::instance()->thread());
}
} // namespace

IntrospectionView::IntrospectionView(const QUuid& id, Selector selector, Customize customize, QWidget* parent)
    : QWidget(parent), id_(id), selector_(std::move(selector)), customize_(std::move(customize)) {
    assertMainThread();
    setObjectName(QStringLiteral("IntrospectionView"));
    setGeometry(0, 0, 0, 0);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    hide();
    PlatformEntity::markAsIntrospectionPlatformEntity(this);
    PlatformEntity::setIntrospectionController(this, this);
    IntrospectionStore::registerView(id_, this);
    if (parent != nullptr)
        parent->installEventFilter(this);
}

IntrospectionView::~IntrospectionView() {
    IntrospectionStore::release(id_, this);
}

void IntrospectionView::runHandler() {
    assertMainThread();
    if (!handlerArmed_)
        return;
    QWidget* target = search();
    if (target == nullptr)
        return; // armed still: the next show tries again
    target_.setWrappedValue(target);
    handlerArmed_ = false;
    customize_(target);
}

void IntrospectionView::contentUpdated() {
    assertMainThread();
    QWidget* target = target_.wrappedValue();
    if (target == nullptr)
        target = search();
    if (target != nullptr)
        customize_(target);
}

QWidget* IntrospectionView::search() {
    // Widgets the composite added after us sit behind us in its child list; put the
    // bracket back around all of them before looking between its ends.
    IntrospectionAnchor* anchor = IntrospectionStore::anchor(id_);
    if (anchor != nullptr && anchor->parentWidget() == parentWidget()) {
        anchor->lower();
        raise();
    }
    return selector_(this);
}

bool IntrospectionView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == parentWidget() && event->type() == QEvent::Show)
        runHandler();
    return QWidget::eventFilter(watched, event);
}

} // namespace velmora::introspection
