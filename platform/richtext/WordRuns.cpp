#include "platform/richtext/WordRuns.h"

#include "platform/richtext/LetterMarks.h"

#include <QTextBoundaryFinder>

#include <algorithm>

namespace velmora {

namespace {

bool isBidiControl(QChar::Direction direction) {
    switch (direction) {
    case QChar::DirLRE:
    case QChar::DirLRO:
    case QChar::DirRLE:
    case QChar::DirRLO:
    case QChar::DirPDF:
    case QChar::DirLRI:
    case QChar::DirRLI:
    case QChar::DirFSI:
    case QChar::DirPDI:
        return true;
    default:
        return false;
    }
}

// The code units of its word kept to find the breaks in it: more than a phrase holds between two
// breaks, and the rest of a longer word holds no break known.
constexpr qsizetype keptOfWord = 512;
// What the breaks just after where the search starts are read from: the line breaking reads a
// few characters around a place (a dictionary reads the Thai word it is in), and a break found
// too near the start of what it was given may be one the whole text does not have.
constexpr qsizetype breakContext = 48;

} // namespace

bool WordRuns::endsWord(char32_t c) {
    return (QChar::isSpace(c) && QChar::decompositionTag(c) != QChar::NoBreak) || c == 0x200B;
}

void WordRuns::endWord() {
    m_runs = 0;
    m_word.clear();
    m_starts.clear();
    m_checked = 0;
    m_length = 0;
    m_nextLook = lookedAtEvery;
}

void WordRuns::append(char32_t c, bool starts) {
    if (m_word.size() >= keptOfWord) {
        const qsizetype dropped = keptOfWord / 2;
        m_word.remove(0, dropped);
        m_starts.erase(m_starts.begin(), m_starts.begin() + dropped);
        m_checked = std::max<qsizetype>(0, m_checked - dropped);
    }
    const QString unit = QString::fromUcs4(&c, 1);
    m_word += unit;
    m_starts.push_back(starts);
    if (unit.size() > 1) {
        m_starts.push_back(false);
    }
}

void WordRuns::lookForBreak(char32_t c) {
    // Only what came since the last look, read with the few characters before it: a text with
    // its runs at the bound at every character costs a short search each, not its whole word.
    const qsizetype from = std::max<qsizetype>(0, m_checked - breakContext);
    const QString text = m_word.mid(from) + QString::fromUcs4(&c, 1);
    const qsizetype end = m_word.size() - from;
    QTextBoundaryFinder lines(QTextBoundaryFinder::Line, text);
    lines.setPosition(static_cast<int>(end));
    // The last place before `c`, or just before it, where a line may break; one read without the
    // characters before it is no break known.
    const qsizetype last = lines.isAtBoundary() ? end : lines.toPreviousBoundary();
    m_checked = m_word.size();
    if (last > 0 && (from == 0 || last >= breakContext)) {
        const qsizetype start = from + last;
        m_word.remove(0, start);
        m_starts.erase(m_starts.begin(), m_starts.begin() + start);
        m_checked -= start;
        m_runs = static_cast<int>(std::count(m_starts.begin(), m_starts.end(), true));
        m_length = static_cast<int>(std::count_if(m_word.cbegin(), m_word.cend(),
                                                  [](QChar unit) { return !unit.isLowSurrogate(); }));
    }
    m_nextLook = m_length + lookedAtEvery;
}

bool WordRuns::admits(char32_t c, bool starts) {
    if ((starts && m_runs >= m_maxRuns) || m_length >= m_nextLook) {
        lookForBreak(c);
    }
    if (starts && m_runs >= m_maxRuns) {
        return false;
    }
    if (starts) {
        ++m_runs;
    }
    append(c, starts);
    ++m_length;
    m_startedRun = starts;
    return true;
}

bool WordRuns::keeps(char32_t c) {
    m_startedRun = false;
    if (endsWord(c)) {
        // A line may break after it: what follows is a new word. A space takes no direction or
        // script of its own.
        endWord();
        return true;
    }
    // The script as Qt itemizes it: a mark stays in its letter's run, and a character of no
    // script of its own (or one Qt does not know) stays in the run it is in.
    QChar::Script script = m_script;
    bool starts = false;
    const QChar::Script own = QChar::script(c);
    if (own > QChar::Script_Common && own != m_script && !isCombiningMark(c)) {
        starts = m_script > QChar::Script_Common;
        script = own;
    }
    Direction direction = m_direction;
    Direction strong = m_strong;
    const QChar::Direction bidi = QChar::direction(c);
    if (isBidiControl(bidi)) {
        starts = true;
    } else {
        Direction ownDirection = Direction::None;
        switch (bidi) {
        case QChar::DirL:
            ownDirection = strong = Direction::LeftToRight;
            break;
        case QChar::DirR:
        case QChar::DirAL:
            ownDirection = strong = Direction::RightToLeft;
            break;
        case QChar::DirEN:
            ownDirection = m_strong == Direction::RightToLeft ? Direction::Number : Direction::LeftToRight;
            break;
        case QChar::DirAN:
            ownDirection = Direction::Number;
            break;
        default:
            break; // neutral: it takes the direction around it
        }
        if (ownDirection != Direction::None && ownDirection != m_direction) {
            starts = starts || m_direction != Direction::None;
            direction = ownDirection;
        }
    }
    if (!admits(c, starts)) {
        return false;
    }
    m_script = script;
    m_direction = direction;
    m_strong = strong;
    return true;
}

bool WordRuns::keepsUnknown() {
    // A letter of no script and direction known stands for it where breaks are looked for.
    constexpr char32_t unknown = 0xFFFD;
    if (!admits(unknown, true)) {
        return false;
    }
    m_script = QChar::Script_Common;
    m_direction = Direction::None;
    return true;
}

} // namespace velmora
