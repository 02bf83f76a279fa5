#include "validation/Validation.h"

#include "validation/UnicodeText.h"

namespace velmora {

bool operator==(const Validation& a, const Validation& b) {
    if (a.isSuccess() || b.isSuccess()) {
        return a.isSuccess() == b.isSuccess();
    }
    return text::canonicallyEqual(*a.m_message, *b.m_message);
}

} // namespace velmora
