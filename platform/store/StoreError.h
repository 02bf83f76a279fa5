#pragma once

#include <QString>

namespace velmora {

// What went wrong in the account store, as the database reported it. Callers log it
// with their own prefix; the text is never shown to the user.
struct StoreError {
    QString description;

    friend bool operator==(const StoreError&, const StoreError&) = default;
};

} // namespace velmora
