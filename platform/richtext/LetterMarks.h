#pragma once

namespace velmora {

// What text from outside may stack on one letter, decided alike wherever such text is shown
// (descriptions, names, the text of images). Qt's shaping puts every combining mark on the
// letter before it, looking past whatever takes no room in between, and one letter with
// thousands of marks costs it seconds.

// Whether `c` is a combining mark of any kind: what stacks on the letter before it.
bool isCombiningMark(char32_t c);

// Whether `c` is a character that takes no room, and so never starts a letter of its own:
// every default-ignorable code point, assigned or not (the joiners, zero-width spaces,
// direction marks and bidirectional controls, the soft hyphen, the byte-order mark, the
// Hangul fillers, the tag characters, and the reserved stretches among them such as U+2065,
// U+FFF0..U+FFF8 and U+E0080..U+E0FFF: shaping hides them all). Nothing else: a code point
// the Unicode version Qt knows leaves unassigned elsewhere is a letter of a newer version (an
// emoji, a script) and draws, with a font that knows it or as a box; so do the prepended
// concatenation marks, the interlinear annotation characters and the hieroglyph format
// controls, which are format characters Unicode does not make ignorable.
// Combining marks are never counted here, the variation selectors and the grapheme joiner
// among them: they sit on a letter as marks do and are counted as marks. Spaces, controls
// and private-use characters start a letter (shaping stacks no mark across them), and so
// does the braille blank, which is a character of full width.
bool takesNoRoom(char32_t c);

// A text's letters as its characters are read in order, each character asked whether it
// stays. A character that takes no room starts no letter, and Qt shapes a letter with all
// that follows it so as one cluster: a letter keeps at most the marks its script's words carry
// (marksAllowed) and at most as many characters that take no room, whether it has marks or not
// (thousands of joiners after one letter cost Qt seconds as thousands of marks do). Once the
// letter has its marks, further marks and what takes no room between them are left out. The
// tags that name a region's flag after the black flag are one sequence of a few, counted apart.
// Everything else starts a new letter and stays.
class LetterMarks {
public:
    explicit LetterMarks(int maxMarks) : m_maxMarks(maxMarks), m_allowed(maxMarks) {}

    // The marks `letter` may carry: `maxMarks`, or more in the scripts whose words stack more on
    // one letter (Burmese "reduce" carries five, a Tibetan stack six, pointed Hebrew with a meteg
    // and accents five or six), never more than a hostile pile would need to cost nothing.
    static int marksAllowed(char32_t letter, int maxMarks);

    // Whether `c`, the next character of the text, is kept.
    bool keeps(char32_t c);
    // What follows starts a new letter (a line break in a name, for instance).
    void startLetter() {
        m_marks = 0;
        m_noRoom = 0;
        m_tags = 0;
        m_flag = false;
        m_allowed = m_maxMarks;
    }
    // Whether a character that takes no room was left out for being one too many after its
    // letter (not for standing between marks past the letter's own).
    bool leftOutWhatTakesNoRoom() const { return m_leftOut; }

    // The black flag, and the tags after it that name a region ("gbeng") and end the name.
    static constexpr char32_t blackFlag = 0x1F3F4;
    static constexpr char32_t firstFlagTag = 0xE0020;
    static constexpr char32_t cancelTag = 0xE007F;
    // The longest region name and the tag that ends it.
    static constexpr int maxFlagTags = 8;

private:
    int m_maxMarks;
    // The marks the last letter may carry.
    int m_allowed;
    // Marks the last letter carries so far, what takes no room after it, and its flag's tags.
    int m_marks = 0;
    int m_noRoom = 0;
    int m_tags = 0;
    // Whether the last letter is the black flag.
    bool m_flag = false;
    bool m_leftOut = false;
};

} // namespace velmora
