#pragma once

#include <QChar>
#include <QString>

#include <vector>

namespace velmora {

// The runs Qt's text layout splits a word into, bounded as text from outside is read in order.
// Qt shapes each run of one script and one direction apart, and a word it cannot break costs it
// about the square of the runs in it: one word of 20,000 characters changing script at every one
// (Latin and Greek, Arabic and Malayalam) or direction (Hebrew and digits) took the description
// view seconds, while the same changes where a line may break cost no more than text of one
// script.
//
// A word is what a line may not break, as Qt's line breaking (QTextBoundaryFinder::Line) finds
// it: spaces (but the no-break ones), a zero-width space, Han and kana, hyphens and slashes, and
// the dictionary's breaks between Thai words end one. Thai, Lao, Khmer and Burmese part no words
// with spaces, and their writers put English terms inline: a phrase of them is one word to Qt
// where it finds no break (Lao, Khmer), and the bound is far above the runs such a phrase holds.
//
// How far into its word a character stands is counted too (see ShapingCost): for each line Qt
// breaks a word anywhere, it looks at the rest of the word.
//
// A run starts where Qt starts one: at a character of a script other than the run's (the common
// and inherited ones, marks and what Qt knows no script of never start one), and at a change of
// direction (left-to-right letters, right-to-left ones, numbers after right-to-left letters or
// Arabic digits anywhere, and every bidirectional control).
class WordRuns {
public:
    explicit WordRuns(int maxRunsPerWord) : m_maxRuns(maxRunsPerWord) {}

    // Whether `c`, the next character shown, is kept: false when it would start one run more
    // than its word may hold (nothing is counted then).
    bool keeps(char32_t c);
    // A character that Qt reads but that is not known here (a named reference): it is taken to
    // start a run, and what follows it to start none.
    bool keepsUnknown();
    // What follows starts a new word (a new block, a line break).
    void endWord();
    // Whether the last character kept started a run.
    bool startedRun() const { return m_startedRun; }
    // The characters of the word up to the last one kept, that one included: how far into a
    // stretch a line may not break it stands. The breaks inside a word are looked for once its
    // first `lookedAtEvery` characters are kept and every as many after, so this counts as many
    // too many at most.
    int unbroken() const { return m_length; }
    static constexpr int lookedAtEvery = 64;
    // Whether a line may break after `c` whatever stands around it: a space of any kind but the
    // no-break ones (no-break space, figure space, narrow no-break space), or a zero-width space.
    // What is left out of a word cut for its runs is left out up to there.
    static bool endsWord(char32_t c);

private:
    enum class Direction : unsigned char { None, LeftToRight, RightToLeft, Number };

    // Keeps `c` unless it starts one run more than the word may hold, looking for a break first
    // where the runs are at their bound or the characters since the last look are many.
    bool admits(char32_t c, bool starts);
    // Where a line may break in the word's text before `c`, or just before it, after its last
    // break known: the word starts there, its runs and characters counted again.
    void lookForBreak(char32_t c);
    void append(char32_t c, bool starts);

    int m_maxRuns;
    // Runs the current word started so far.
    int m_runs = 0;
    bool m_startedRun = false;
    QChar::Script m_script = QChar::Script_Common;
    Direction m_direction = Direction::None;
    // The direction of the last strong letter: digits after right-to-left letters are a run
    // of their own.
    Direction m_strong = Direction::None;
    // The current word's last few hundred code units, whether each starts a run, and how far the
    // breaks in it are known.
    QString m_word;
    std::vector<bool> m_starts;
    qsizetype m_checked = 0;
    // The characters of the word, and how many it holds when its breaks are looked for next.
    int m_length = 0;
    int m_nextLook = lookedAtEvery;
};

} // namespace velmora
