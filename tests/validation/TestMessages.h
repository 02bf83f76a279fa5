#pragma once

#include "validation/Validation.h"

#include <QString>

#include <functional>
#include <ostream>

// Readable texts in test failures.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace velmora {

// Readable outcomes in test failures.
inline void PrintTo(const Validation& v, std::ostream* os) {
    if (v.isSuccess()) {
        *os << "success";
    } else {
        *os << "failure(\"" << v.failureMessage()->toStdString() << "\")";
    }
}

namespace test {

// A message source returning a fixed text.
inline std::function<QString()> text(const char* message) {
    return [m = QString::fromUtf8(message)] { return m; };
}

} // namespace test
} // namespace velmora
