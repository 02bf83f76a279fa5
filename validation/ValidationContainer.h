#pragma once

#include "platform/async/Stream.h"
#include "validation/Validatable.h"
#include "validation/Validation.h"

#include <memory>

namespace velmora {

// A field's validator with its two outcome streams, as a message view needs them.
// Copied by value: every copy shares the validator and the streams.
class ValidationContainer {
public:
    ValidationContainer(std::shared_ptr<Validatable> validator, Stream<Validation> publisher,
                        PassthroughSubject<Validation> subject);

    const std::shared_ptr<Validatable>& validator() const { return m_validator; }
    // Outcomes of value changes after the first; subscribing to it is what makes the
    // validator follow its field.
    const Stream<Validation>& publisher() const { return m_publisher; }
    // The validator's own subject: outcomes of on-demand checks of the whole form.
    const PassthroughSubject<Validation>& subject() const { return m_subject; }

    void observe(bool isDisabled, bool showsError) const;

private:
    std::shared_ptr<Validatable> m_validator;
    Stream<Validation> m_publisher;
    PassthroughSubject<Validation> m_subject;
};

} // namespace velmora
