#include "PlatformEntity.h"

#include "IntrospectionAnchor.h"
#include "IntrospectionStore.h"
#include "IntrospectionView.h"

#include <QVariant>

namespace velmora::introspection::PlatformEntity {

namespace {
constexpr char kEntityMark[] = "isIntrospectionPlatformEntity";
constexpr char kControllerMark[] = "introspectionController";
} // namespace

QWidget* parentEntity(QWidget* widget) {
    if (widget == nullptr || widget->isWindow())
        return nullptr;
    return widget->parentWidget();
}

std::vector<QWidget*> childEntities(QWidget* widget) {
    std::vector<QWidget*> children;
    for (QObject* child : widget->children()) {
        if (child->isWidgetType()) {
            auto* childWidget = static_cast<QWidget*>(child);
            if (!childWidget->isWindow())
                children.push_back(childWidget);
        }
    }
    return children;
}

bool isContained(QWidget* widget, QWidget* other) {
    for (QWidget* current = widget; current != nullptr; current = parentEntity(current)) {
        if (current == other)
            return true;
    }
    return false;
}

std::vector<QWidget*> parentChain(QWidget* widget) {
    std::vector<QWidget*> chain;
    for (QWidget* current = parentEntity(widget); current != nullptr; current = parentEntity(current))
        chain.push_back(current);
    return chain;
}

Walk subtreeInPreOrder(QWidget* widget) {
    Walk walk({widget}, std::function<std::vector<QWidget*>(QWidget*)>(&childEntities));
    walk.next(); // the widget itself
    return walk;
}

bool isIntrospectionPlatformEntity(const QWidget* widget) {
    const QVariant mark = widget->property(kEntityMark);
    return mark.typeId() == QMetaType::Bool && mark.toBool();
}

void markAsIntrospectionPlatformEntity(QWidget* widget) {
    widget->setProperty(kEntityMark, true);
}

void setIntrospectionController(QWidget* widget, QObject* controller) {
    widget->setProperty(kControllerMark, QVariant::fromValue(controller));
}

QWidget* anchorEntity(QWidget* widget) {
    if (widget == nullptr)
        return nullptr;
    auto* view = qobject_cast<IntrospectionView*>(widget->property(kControllerMark).value<QObject*>());
    if (view == nullptr)
        return nullptr;
    return IntrospectionStore::anchor(view->id());
}

QWidget* closestContainer(QWidget* widget, QWidget* other) {
    QWidget* current = widget;
    while (current != nullptr && !isContained(other, current))
        current = parentEntity(current);
    return current;
}

} // namespace velmora::introspection::PlatformEntity
