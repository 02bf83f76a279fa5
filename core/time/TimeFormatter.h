#pragma once

#include <QString>
#include <QStringView>

#include <optional>

namespace velmora {

// Clock text of a duration, as the timer shows it ("01:02:03", or "01:02" in the
// short style), and back. Durations are seconds as doubles everywhere; the clock
// text only ever shows whole seconds.
class TimeFormatter {
public:
    enum class Style {
        Long,  // hours, minutes and seconds
        Short, // hours and minutes; seconds are dropped, not rounded
    };

    explicit TimeFormatter(Style style) : m_style(style) {}

    Style style() const { return m_style; }
    void setStyle(Style style) { m_style = style; }

    // The clock text of `seconds` in this formatter's style; see format().
    std::optional<QString> string(double seconds) const { return format(seconds, m_style); }

    // Hours grow as wide as they need (360000 s is "100:00:00"). A duration that is
    // negative, not finite or has no whole-second count in 64 bits has no text.
    static std::optional<QString> format(double seconds, Style style);

    // Reads "H", "H:M" or "H:M:S" (both styles read all three): each piece is an
    // optional sign and ASCII digits, hours are 0 or more, minutes and seconds 0 to
    // 59. Anything else, and a total beyond what format() takes (the 64-bit range, as
    // a double), is not understood.
    static std::optional<double> parse(QStringView text);

private:
    Style m_style;
};

} // namespace velmora
