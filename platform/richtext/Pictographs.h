#pragma once

namespace velmora {

// Whether `c` is a picture of an emoji sequence: Extended_Pictographic of Unicode's emoji data
// (reserved code points of the emoji blocks included, as newer emoji are assigned there) and the
// skin-tone modifiers a picture may carry. A colour emoji font draws these.
bool isPictograph(char32_t c);

// The regional indicators, two of which name a country's flag.
inline bool isRegionalIndicator(char32_t c) {
    return c >= 0x1F1E6 && c <= 0x1F1FF;
}

// The skin-tone modifiers.
inline bool isEmojiModifier(char32_t c) {
    return c >= 0x1F3FB && c <= 0x1F3FF;
}

} // namespace velmora
