#pragma once

#include "platform/async/Cancellable.h"
#include "validation/Validation.h"
#include "validation/ValidationContainer.h"

#include <QPointer>
#include <QWidget>

#include <functional>
#include <optional>

class QLabel;
class QVBoxLayout;

namespace velmora {

// An input with the failure message of its latest validation outcome right under
// it. The outcome is whichever arrived last from the container's two streams (the
// outcomes while typing and those of on-demand checks). Subscribing to the
// container's outcome stream is what makes the field's validator follow its value,
// so a field is validated only while such a view exists.
class ValidationMessageView : public QWidget {
    Q_OBJECT

public:
    // Builds the widget that shows a failure message; may return nullptr for none.
    using ErrorViewBuilder = std::function<QWidget*(const QString& message)>;

    // Takes `input` as its child. Without a builder the message is plain red text (of a
    // shade that reads on its ground, MessageColor) in the 14 px system font.
    ValidationMessageView(QWidget* input, ValidationContainer container, ErrorViewBuilder errorView = {},
                          QWidget* parent = nullptr);
    ~ValidationMessageView() override;

    QWidget* input() const { return m_input; }
    // Success until the first outcome arrives.
    const Validation& latestValidation() const { return m_latestValidation; }
    // The widget showing the current message; nullptr while the outcome is success.
    QWidget* messageView() const;

private:
    void display(const Validation& validation);

    QPointer<QWidget> m_input;
    ValidationContainer m_container;
    ErrorViewBuilder m_errorView;
    Validation m_latestValidation = Validation::success();
    QVBoxLayout* m_layout = nullptr;
    QLabel* m_defaultMessage = nullptr;
    QPointer<QWidget> m_builtMessage;
    Cancellable m_publisherSubscription;
    Cancellable m_subjectSubscription;
};

// Wraps `input` in a ValidationMessageView when a container is given; returns the
// input itself otherwise.
QWidget* attachValidation(QWidget* input, std::optional<ValidationContainer> container,
                          ValidationMessageView::ErrorViewBuilder errorView = {});

} // namespace velmora
