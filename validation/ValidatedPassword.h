#pragma once

#include "validation/UnicodeText.h"

#include <QString>

namespace velmora {

// A password as typed into one of the two fields of a pair: `type` 0 for the
// first field, 1 for the confirmation, anything else for neither.
struct ValidatedPassword {
    QString password;
    int type = 0;

    friend bool operator==(const ValidatedPassword& a, const ValidatedPassword& b) {
        return a.type == b.type && text::canonicallyEqual(a.password, b.password);
    }
};

} // namespace velmora
