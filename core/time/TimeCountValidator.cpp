#include "core/time/TimeCountValidator.h"

#include "core/time/DurationMath.h"

namespace velmora {

TimeCountValidator::TimeCountValidator(qint64 count, ValidationType type, MessageSource message)
    : TimeIntervalValidator(std::move(message)), m_count(count), m_type(type) {}

Validation TimeCountValidator::validate() {
    // Checked before truncating: a negative duration would otherwise pass an upper
    // bound, and NaN or infinity have no whole seconds at all.
    const std::optional<double>& seconds = value();
    if (!seconds || *seconds < 0) {
        return Validation::failure(messageText());
    }
    const auto whole = duration::wholeSeconds(*seconds);
    if (!whole || !CountValidator::passes(*whole, m_count, m_type)) {
        return Validation::failure(messageText());
    }
    return Validation::success();
}

} // namespace velmora
