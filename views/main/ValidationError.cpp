#include "views/main/ValidationError.h"

namespace velmora {

ValidationError::ValidationError(ValidationContainer container, QWidget* parent)
    : ValidationMessageView(nullptr, std::move(container), {}, parent) {}

} // namespace velmora
