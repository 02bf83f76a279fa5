#pragma once

#include "Weak.h"

#include <QUuid>
#include <QWidget>

#include <functional>

namespace velmora::introspection {

// A hidden, zero-size widget placed last among the introspected composite's children. It runs
// the search when placed and whenever the composite is shown until a target turns up, hands
// that target to the caller's customisation, and keeps it weakly for later updates.
class IntrospectionView : public QWidget {
    Q_OBJECT
public:
    using Selector = std::function<QWidget*(IntrospectionView*)>;
    using Customize = std::function<void(QWidget*)>;

    IntrospectionView(const QUuid& id, Selector selector, Customize customize, QWidget* parent);
    ~IntrospectionView() override;

    QUuid id() const { return id_; }

    // The one-shot search: does nothing once a target was handed out or after dismantle().
    void runHandler();
    // The composite changed its content: customise the cached target again, or, when it is
    // gone (or was never found), whatever the search finds now.
    void contentUpdated();
    // Stops the one-shot search for good.
    void dismantle() { handlerArmed_ = false; }

    bool hasHandler() const { return handlerArmed_; }
    QWidget* cachedTarget() const { return target_.wrappedValue(); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* search();

    QUuid id_;
    Selector selector_;
    Customize customize_;
    bool handlerArmed_ = true;
    Weak<QWidget> target_;
};

} // namespace velmora::introspection
