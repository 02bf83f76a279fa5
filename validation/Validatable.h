#pragma once

#include "platform/async/Stream.h"
#include "validation/Validation.h"

#include <QString>

#include <functional>
#include <optional>
#include <vector>

namespace velmora {

// What every validator offers, whatever its value type: the form manager and the
// message view hold validators through this class.
//
// A validator is a reference object shared by its form field, the form manager and
// the view that shows its message; it is used on the main thread only.
class Validatable {
public:
    using Observer = std::function<void(const Validation&)>;
    using MessageSource = std::function<QString()>;

    Validatable(const Validatable&) = delete;
    Validatable& operator=(const Validatable&) = delete;
    virtual ~Validatable() = default;

    // The outcome for the current value. Simple validators send nothing and notify
    // nobody; a composite also hands its value to its members and notifies them.
    virtual Validation validate() = 0;
    // True when the value is absent or is the empty text (no trimming).
    virtual bool isEmpty() const = 0;

    // Evaluated each time a failure is produced, so the text may change between checks.
    const MessageSource& message() const { return m_message; }

    // A free slot for an outcome stream; nothing in the library reads or sets it.
    const std::optional<Stream<Validation>>& publisher() const { return m_publisher; }
    void setPublisher(std::optional<Stream<Validation>> publisher) { m_publisher = std::move(publisher); }

    // Carries the outcomes a view is to display after an on-demand check.
    PassthroughSubject<Validation>& subject() { return m_subject; }
    const PassthroughSubject<Validation>& subject() const { return m_subject; }
    void setSubject(PassthroughSubject<Validation> subject) { m_subject = std::move(subject); }

    // Observers of every outcome, called in the order they were added.
    const std::vector<Observer>& onChanged() const { return m_onChanged; }
    void setOnChanged(std::vector<Observer> observers) { m_onChanged = std::move(observers); }

    // On-demand check: a disabled field shows success and tells nobody; otherwise the
    // outcome (or success, when errors are not to be shown) goes to the subject first,
    // then the real outcome to the observers.
    virtual void observe(bool isDisabled, bool showsError);
    // Calls the observers present when the call began, in order.
    virtual void notify(const Validation& validation);
    // Appends an observer; there is no removal.
    virtual void addOnChanged(Observer observer);

protected:
    explicit Validatable(MessageSource message);

    // The message text now; the empty text when no source was given.
    QString messageText() const { return m_message ? m_message() : QString(); }

private:
    std::optional<Stream<Validation>> m_publisher;
    PassthroughSubject<Validation> m_subject;
    std::vector<Observer> m_onChanged;
    MessageSource m_message;
};

} // namespace velmora
