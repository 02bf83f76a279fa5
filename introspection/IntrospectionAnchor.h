#pragma once

#include <QUuid>
#include <QWidget>

namespace velmora::introspection {

// A hidden, zero-size widget placed first among the introspected composite's children: the
// receiver search looks at what lies between it and the introspection widget placed last.
class IntrospectionAnchor : public QWidget {
    Q_OBJECT
public:
    IntrospectionAnchor(const QUuid& id, QWidget* parent);
    ~IntrospectionAnchor() override;

    QUuid id() const { return id_; }

private:
    QUuid id_;
};

} // namespace velmora::introspection
