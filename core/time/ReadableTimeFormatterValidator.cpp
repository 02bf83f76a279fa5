#include "core/time/ReadableTimeFormatterValidator.h"

#include "core/time/ReadableTimeFormatter.h"

namespace velmora {

QValidator::State ReadableTimeFormatterValidator::validate(QString& input, int&) const {
    return ReadableTimeFormatter::parse(input) ? Acceptable : Intermediate;
}

} // namespace velmora
