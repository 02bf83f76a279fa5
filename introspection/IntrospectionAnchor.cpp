#include "IntrospectionAnchor.h"

#include "IntrospectionStore.h"
#include "PlatformEntity.h"

namespace velmora::introspection {

IntrospectionAnchor::IntrospectionAnchor(const QUuid& id, QWidget* parent) : QWidget(parent), id_(id) {
    setObjectName(QStringLiteral("IntrospectionAnchor"));
    setGeometry(0, 0, 0, 0);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    hide();
    PlatformEntity::markAsIntrospectionPlatformEntity(this);
    IntrospectionStore::registerAnchor(id_, this);
}

IntrospectionAnchor::~IntrospectionAnchor() {
    IntrospectionStore::release(id_, this);
}

} // namespace velmora::introspection
