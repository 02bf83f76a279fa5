#pragma once

namespace velmora {

// What text from outside may stack on one letter, decided alike wherever such text is shown
// (descriptions, names, the text of images). Qt's shaping puts every combining mark on the
// letter before it, looking past whatever takes no room in between, and one letter with
// thousands of marks costs it seconds.

// Whether `c` is a combining mark of any kind: what stacks on the letter before it.
bool isCombiningMark(char32_t c);

// Whether `c` is a character that takes no room, and so never starts a letter of its own:
// - every default-ignorable code point, assigned or not (the joiners, zero-width spaces,
//   direction marks and bidirectional controls, the soft hyphen, the byte-order mark, the
//   tag characters, the Hangul fillers, and the reserved stretches among them such as
//   U+2065, U+FFF0..U+FFF8 and U+E0080..U+E0FFF: shaping hides them all);
// - every code point the Unicode version Qt knows leaves unassigned (the noncharacters
//   among them): nothing is known of how it draws, so it is taken to draw nothing;
// - every other format character but the prepended concatenation marks, which draw a sign
//   of their own.
// Combining marks are never counted here, the variation selectors and the grapheme joiner
// among them: they sit on a letter as marks do and are counted as marks. Spaces, controls
// and private-use characters start a letter (shaping stacks no mark across them), and so
// does the braille blank, which is a character of full width.
bool takesNoRoom(char32_t c);

// A text's letters, each with at most `maxMarks` marks, as its characters are read in order:
// each character is asked whether it stays. A character that takes no room starts no letter;
// once the letter has its marks, further marks and what takes no room between them are left
// out. Everything else starts a new letter and stays.
class LetterMarks {
public:
    explicit LetterMarks(int maxMarks) : m_maxMarks(maxMarks) {}

    // Whether `c`, the next character of the text, is kept.
    bool keeps(char32_t c);
    // What follows starts a new letter (a line break in a name, for instance).
    void startLetter() { m_marks = 0; }

private:
    int m_maxMarks;
    // Marks the last letter carries so far.
    int m_marks = 0;
};

} // namespace velmora
