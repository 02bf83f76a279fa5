#include "platform/richtext/WordRuns.h"

#include "platform/richtext/LetterMarks.h"

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

} // namespace

bool WordRuns::endsWord(char32_t c) {
    if (QChar::isSpace(c) || c == 0x200B) {
        return true;
    }
    const QChar::Script script = QChar::script(c);
    return script == QChar::Script_Han || script == QChar::Script_Hiragana ||
           script == QChar::Script_Katakana;
}

bool WordRuns::keeps(char32_t c) {
    if (endsWord(c)) {
        m_runs = 0;
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
    if (starts && !endsWord(c)) {
        if (m_runs >= m_maxRuns) {
            return false;
        }
        ++m_runs;
    }
    m_script = script;
    m_direction = direction;
    m_strong = strong;
    return true;
}

bool WordRuns::keepsUnknown() {
    if (m_runs >= m_maxRuns) {
        return false;
    }
    ++m_runs;
    m_script = QChar::Script_Common;
    m_direction = Direction::None;
    return true;
}

} // namespace velmora
