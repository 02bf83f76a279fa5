#include "validation/ValidationContainer.h"

namespace velmora {

ValidationContainer::ValidationContainer(std::shared_ptr<Validatable> validator, Stream<Validation> publisher,
                                         PassthroughSubject<Validation> subject)
    : m_validator(std::move(validator)), m_publisher(std::move(publisher)), m_subject(std::move(subject)) {}

void ValidationContainer::observe(bool isDisabled, bool showsError) const {
    m_validator->observe(isDisabled, showsError);
}

} // namespace velmora
