#pragma once

#include <QChar>

namespace velmora {

// The runs Qt's text layout splits a word into, bounded as text from outside is read in order.
// Qt shapes each run of one script and one direction apart, and a word it cannot break
// costs it about the square of the runs in it: one word of 20,000 characters changing script
// at every one (Latin and Greek, Arabic and Malayalam) or direction (Hebrew and digits) took
// the description view seconds, while the same changes between short words, or between
// characters a line may break at (Han and kana), cost no more than text of one script.
//
// A run starts where Qt starts one: at a character of a script other than the run's (the
// common and inherited ones, marks and what Qt knows no script of never start one), and at
// a change of direction (left-to-right letters, right-to-left ones, numbers after
// right-to-left letters or Arabic digits anywhere, and every bidirectional control). A word
// ends at a space of any kind, at a zero-width space, and at a Han or kana character, where a
// line may break.
class WordRuns {
public:
    explicit WordRuns(int maxRunsPerWord) : m_maxRuns(maxRunsPerWord) {}

    // Whether `c`, the next character shown, is kept: false when it would start one run more
    // than a word may hold (nothing is counted then).
    bool keeps(char32_t c);
    // A character that Qt reads but that is not known here (a named reference): it is taken to
    // start a run, and what follows it to start none.
    bool keepsUnknown();
    // What follows starts a new word (a new block, a line break).
    void endWord() { m_runs = 0; }
    // Whether `c` ends the word it follows: what is left out of a word is left out up to there.
    static bool endsWord(char32_t c);

private:
    enum class Direction : unsigned char { None, LeftToRight, RightToLeft, Number };

    int m_maxRuns;
    // Runs the current word started so far, after its first.
    int m_runs = 0;
    QChar::Script m_script = QChar::Script_Common;
    Direction m_direction = Direction::None;
    // The direction of the last strong letter: digits after right-to-left letters are a run
    // of their own.
    Direction m_strong = Direction::None;
};

} // namespace velmora
