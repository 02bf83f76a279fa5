#include "core/time/TimeFormatterValidator.h"

#include "core/time/TimeFormatter.h"

namespace velmora {

QValidator::State TimeFormatterValidator::validate(QString& input, int&) const {
    return TimeFormatter::parse(input) ? Acceptable : Intermediate;
}

} // namespace velmora
