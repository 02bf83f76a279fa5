#include "platform/richtext/OutsideHtml.h"

#include "platform/richtext/LetterMarks.h"
#include "platform/richtext/ShapingCost.h"
#include "platform/richtext/WordRuns.h"

#include <QFont>
#include <QFontMetricsF>
#include <QHash>
#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <iterator>
#include <utility>
#include <vector>

namespace velmora {

namespace {

// Elements kept with their tags: what Qt lays out as text, lists and tables.
constexpr const char* keptElements[] = {
    "a",     "abbr", "acronym", "address", "b",   "big", "blockquote", "caption", "center",
    "cite",  "code", "dd",      "del",     "dfn", "div", "dl",         "dt",      "em",
    "font",  "h1",   "h2",      "h3",      "h4",  "h5",  "h6",         "i",       "ins",
    "kbd",   "li",   "nobr",    "ol",      "p",   "pre", "q",          "s",       "samp",
    "small", "span", "strike",  "strong",  "sub", "sup", "table",      "tbody",   "td",
    "tfoot", "th",   "thead",   "tr",      "tt",  "u",   "ul",         "var"};
// Kept, and never hold anything.
constexpr const char* voidElements[] = {"br", "hr"};
// Left out together with what they hold: none of it is text to read.
constexpr const char* skippedElements[] = {"script", "style",    "title",  "textarea", "template", "iframe",
                                           "object", "svg",      "math",   "noscript", "xmp",      "select",
                                           "applet", "frameset", "canvas", "audio",    "video"};
// Left out, and never hold anything either.
constexpr const char* droppedVoidElements[] = {"img",   "meta",  "link",   "input",   "area",  "base",
                                               "col",   "embed", "param",  "source",  "track", "wbr",
                                               "frame", "image", "keygen", "basefont"};
// The parts of a table: kept only inside a table that is kept.
constexpr const char* tableParts[] = {"caption", "tbody", "td", "tfoot", "th", "thead", "tr"};
// Blocks that end an open paragraph.
constexpr const char* blocks[] = {"address", "blockquote", "center", "div", "dl", "h1",  "h2",    "h3", "h4",
                                  "h5",      "h6",         "hr",     "ol",  "p",  "pre", "table", "ul"};

// Embeddings and isolates open at once; further ones are left out. Text nests a few; each open
// one is closed where its element ends, so that many of them would pile up on the letter there.
constexpr std::size_t maxOpenControls = 16;

// Open elements tracked to match their end tags; deeper ones are not tracked (their
// tags are dropped anyway), which bounds the cost of every match.
constexpr std::size_t maxTracked = 256;
// Attribute values longer than this are left out (a link is far shorter).
constexpr qsizetype maxAttributeValue = 2048;
constexpr int maxAttributes = 16;

bool isOneOf(QStringView name, std::initializer_list<const char*> names) {
    return std::any_of(names.begin(), names.end(),
                       [name](const char* candidate) { return name == QLatin1String(candidate); });
}

// What an element is to the bounding, looked up once per tag.
enum Flag : unsigned {
    Kept = 1,
    Void = 2,
    Skipped = 4,
    DroppedVoid = 8,
    TablePart = 16,
    Block = 32,
    Phrase = 64,
};
// The elements that HTML closes without an end tag, and what bounds that.
enum class Role : unsigned char { Other, Item, List, Cell, Row, Section, Table, Term, Terms, Paragraph };

struct Element {
    unsigned flags = 0;
    Role role = Role::Other;
};

Element element(const QString& name) {
    static const QHash<QString, Element> table = [] {
        QHash<QString, Element> elements;
        auto mark = [&](const auto& names, unsigned flag) {
            for (const char* each : names) {
                elements[QString::fromLatin1(each)].flags |= flag;
            }
        };
        mark(keptElements, Kept);
        mark(voidElements, Void);
        mark(skippedElements, Skipped);
        mark(droppedVoidElements, DroppedVoid);
        mark(tableParts, TablePart);
        mark(blocks, Block);
        mark(std::initializer_list<const char*>{"a", "b", "i", "u", "s", "em", "strong", "span", "font",
                                                "sub", "sup"},
             Phrase);
        const std::pair<const char*, Role> roles[] = {
            {"li", Role::Item},       {"ul", Role::List},       {"ol", Role::List},
            {"td", Role::Cell},       {"th", Role::Cell},       {"tr", Role::Row},
            {"tbody", Role::Section}, {"thead", Role::Section}, {"tfoot", Role::Section},
            {"table", Role::Table},   {"dt", Role::Term},       {"dd", Role::Term},
            {"dl", Role::Terms},      {"p", Role::Paragraph}};
        for (const auto& [name, role] : roles) {
            elements[QString::fromLatin1(name)].role = role;
        }
        return elements;
    }();
    return table.value(name);
}

bool isSpace(QChar c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\f';
}

bool isAsciiLetter(QChar c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

bool isNameChar(QChar c) {
    return isAsciiLetter(c) || (c >= u'0' && c <= u'9') || c == u'-' || c == u':' || c == u'_';
}

// A number attribute kept within [0, max]; "50%" stays a percentage when `percent`.
// Empty when the value does not start with a number.
QString boundedNumber(QStringView value, int max, bool percent) {
    value = value.trimmed();
    qsizetype digits = 0;
    while (digits < value.size() && value[digits] >= u'0' && value[digits] <= u'9') {
        ++digits;
    }
    if (digits == 0) {
        return {};
    }
    // Only the first few digits matter once the value is over the limit.
    long long number = value.left(std::min<qsizetype>(digits, 9)).toLongLong();
    if (digits > 9) {
        number = max;
    }
    const bool isPercent = percent && digits < value.size() && value[digits] == u'%';
    number = std::min<long long>(number, isPercent ? 100 : max);
    return QString::number(number) + (isPercent ? QStringLiteral("%") : QString());
}

bool isHexDigit(QChar c) {
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

// A colour by hex digits, rgb()/rgba() of numbers, or a name: nothing that could name
// anything else.
bool isColour(QStringView value) {
    if (value.startsWith(u'#')) {
        const QStringView digits = value.mid(1);
        return (digits.size() == 3 || digits.size() == 4 || digits.size() == 6 || digits.size() == 8) &&
               std::all_of(digits.begin(), digits.end(), isHexDigit);
    }
    if (value.startsWith(QLatin1String("rgb(")) || value.startsWith(QLatin1String("rgba("))) {
        const QStringView inside = value.mid(value.indexOf(u'(') + 1);
        return inside.endsWith(u')') && inside.size() <= 40 &&
               std::all_of(inside.begin(), inside.end() - 1, [](QChar c) {
                   return (c >= u'0' && c <= u'9') || c == u',' || c == u'.' || c == u' ' || c == u'%';
               });
    }
    return !value.isEmpty() && value.size() <= 24 && std::all_of(value.begin(), value.end(), isAsciiLetter);
}

// A font size as one of a few steps: Qt loads every font a text uses again for each size it is
// laid out at (some milliseconds each for a Han or emoji font), so sizes from outside keep to the
// steps of small print, text and two of headings, as keywords.
QString boundedFontSize(QStringView value) {
    if (isOneOf(value, {"xx-small", "x-small", "small", "smaller"})) {
        return QStringLiteral("small");
    }
    if (isOneOf(value, {"medium"})) {
        return QStringLiteral("medium");
    }
    if (isOneOf(value, {"large", "larger"})) {
        return QStringLiteral("large");
    }
    if (isOneOf(value, {"x-large", "xx-large", "xxx-large"})) {
        return QStringLiteral("x-large");
    }
    const bool pixels = value.endsWith(QLatin1String("px"));
    if (!pixels && !value.endsWith(QLatin1String("pt"))) {
        return {};
    }
    const QStringView number = value.chopped(2).trimmed();
    if (number.isEmpty() || number.size() > 12 || !std::all_of(number.begin(), number.end(), [](QChar c) {
            return (c >= u'0' && c <= u'9') || c == u'.';
        })) {
        return {};
    }
    bool ok = false;
    const double size = number.toDouble(&ok);
    if (!ok) {
        return {};
    }
    const double points = pixels ? size * 0.75 : size;
    if (points < 8.5) {
        return QStringLiteral("small");
    }
    if (points < 11) {
        return QStringLiteral("medium");
    }
    return points < 14 ? QStringLiteral("large") : QStringLiteral("x-large");
}

// The declarations of a style that text needs (colours, weight, italics, decoration,
// alignment, a font size in a small range), each checked to be a value of its kind;
// everything else (margins, paddings, indents, line heights, positions, families,
// images) goes. Qt lays out any length as given: a hundred paragraphs 100,000 px apart
// take it minutes.
QString keptStyle(QStringView style) {
    constexpr int maxDeclarations = 16;
    QString out;
    int declarations = 0;
    for (QStringView declaration : style.split(u';')) {
        const qsizetype colon = declaration.indexOf(u':');
        if (colon < 0) {
            continue;
        }
        const QString name = declaration.left(colon).trimmed().toString().toLower();
        const QString value = declaration.mid(colon + 1).trimmed().toString().toLower().simplified();
        QString kept;
        if (name == u"color" || name == u"background-color") {
            kept = isColour(value) ? value : QString();
        } else if (name == u"font-weight") {
            // Bold or not: each weight is another font to load.
            if (isOneOf(value, {"bold", "bolder", "600", "700", "800", "900"})) {
                kept = QStringLiteral("bold");
            } else if (isOneOf(value, {"normal", "lighter", "100", "200", "300", "400", "500"})) {
                kept = QStringLiteral("normal");
            }
        } else if (name == u"font-style") {
            if (isOneOf(value, {"italic", "oblique"})) {
                kept = QStringLiteral("italic");
            } else if (value == u"normal") {
                kept = value;
            }
        } else if (name == u"text-decoration") {
            const QStringList words = value.split(u' ');
            const bool lines = std::all_of(words.begin(), words.end(), [](const QString& word) {
                return isOneOf(word, {"none", "underline", "overline", "line-through"});
            });
            kept = words.size() <= 3 && lines ? value : QString();
        } else if (name == u"text-align") {
            kept = isOneOf(value, {"left", "right", "center", "justify"}) ? value : QString();
        } else if (name == u"font-size") {
            kept = boundedFontSize(value);
        }
        if (kept.isEmpty()) {
            continue;
        }
        if (++declarations > maxDeclarations) {
            break;
        }
        out += (out.isEmpty() ? QString() : QStringLiteral(";")) + name + u':' + kept;
    }
    return out;
}

// A font's size (1 to 7, or a step from the text's, +1 or -2) as one of the steps of small print,
// text and two of headings: 2 to 5.
QString fontSizeStep(QStringView value) {
    value = value.trimmed();
    const bool relative = value.startsWith(u'+') || value.startsWith(u'-');
    const QString number = boundedNumber(relative ? value.mid(1) : value, 7, false);
    if (number.isEmpty()) {
        return {};
    }
    int size = number.toInt();
    if (relative) {
        size = value.startsWith(u'-') ? 3 - size : 3 + size;
    }
    return QString::number(std::clamp(size, 2, 5));
}

// The attribute as kept on `element`, or empty to leave it out. Spans are kept by the
// table that holds them. A font's face is never kept: text from outside chooses no font.
QString keptAttribute(QStringView element, QStringView name, QStringView value,
                      const OutsideHtmlLimits& limits) {
    if (value.size() > maxAttributeValue) {
        return {};
    }
    if (isOneOf(name, {"border", "cellspacing", "cellpadding"})) {
        return element == u"table" ? boundedNumber(value, limits.maxLength, false) : QString();
    }
    if (name == u"width") {
        return isOneOf(element, {"table", "td", "th", "hr"}) ? boundedNumber(value, limits.maxPixels, true)
                                                             : QString();
    }
    if (name == u"height") {
        return isOneOf(element, {"table", "td", "th", "hr"}) ? boundedNumber(value, limits.maxLength, false)
                                                             : QString();
    }
    if (name == u"start" || name == u"value") {
        return isOneOf(element, {"ol", "li"}) ? boundedNumber(value, limits.maxListStart, false) : QString();
    }
    if (name == u"size") {
        return element == u"font" ? fontSizeStep(value) : QString();
    }
    if (name == u"style") {
        return keptStyle(value);
    }
    if (name == u"bgcolor" || (element == u"font" && name == u"color")) {
        const QString colour = value.trimmed().toString().toLower();
        return isColour(colour) ? colour : QString();
    }
    const bool kept = isOneOf(name, {"align", "valign", "dir"}) ||
                      (element == u"a" && isOneOf(name, {"href", "name"})) ||
                      (isOneOf(element, {"ol", "ul"}) && name == u"type") ||
                      (isOneOf(element, {"td", "th"}) && name == u"nowrap");
    if (!kept) {
        return {};
    }
    QString out = value.toString();
    out.replace(u'"', QLatin1String("&quot;"));
    out.replace(u'<', QLatin1String("&lt;"));
    out.replace(u'>', QLatin1String("&gt;"));
    return out.isEmpty() ? QStringLiteral(" ") : out;
}

// A colspan or rowspan as given, within [1, max]; 1 when it is no number.
int spanValue(QStringView value, int max) {
    const QString number = boundedNumber(value, max, false);
    return std::max(1, number.isEmpty() ? 1 : number.toInt());
}

// The numbering an ordered list's type names, as Qt reads it: "1", "a", "A", "i" or "I".
QChar listNumbering(const std::vector<std::pair<QString, QStringView>>& attributes) {
    for (const auto& [name, value] : attributes) {
        if (name == u"type" && value.size() == 1 && QStringView(u"1aAiI").contains(value.front())) {
            return value.front();
        }
    }
    return u'1';
}

// The number an ordered list starts from, within [0, max]; 0 when it says none.
int listStart(const std::vector<std::pair<QString, QStringView>>& attributes, int max) {
    for (const auto& [name, value] : attributes) {
        if (name == u"start" && value.size() <= maxAttributeValue) {
            return boundedNumber(value, max, false).toInt();
        }
    }
    return 0;
}

// `number` in a list's numbering, as Qt numbers its items.
QString listNumber(int number, QChar numbering) {
    const char16_t kind = numbering.unicode();
    QString written;
    if (kind == u'a' || kind == u'A') {
        for (; number > 0; number = (number - 1) / 26) {
            written.prepend(QChar(kind + (number - 1) % 26));
        }
        return written;
    }
    if ((kind == u'i' || kind == u'I') && number < 4000) {
        static constexpr std::pair<int, const char*> numerals[] = {
            {1000, "m"}, {900, "cm"}, {500, "d"}, {400, "cd"}, {100, "c"}, {90, "xc"}, {50, "l"},
            {40, "xl"},  {10, "x"},   {9, "ix"},  {5, "v"},    {4, "iv"},  {1, "i"}};
        for (const auto& [value, numeral] : numerals) {
            for (; number >= value; number -= value) {
                written += QLatin1String(numeral);
            }
        }
        return kind == u'I' ? written.toUpper() : written;
    }
    return QString::number(number);
}

// The end of an item's tag and its number in its text, where Qt would draw its label when `hanging`:
// in the margin before the text, by as much as the number takes in the application's font.
QString numberInText(int number, QChar numbering, bool hanging) {
    const QString label = listNumber(number, numbering) + QStringLiteral(". ");
    if (!hanging) {
        return u'>' + label;
    }
    const int indent = static_cast<int>(std::ceil(QFontMetricsF(QFont()).horizontalAdvance(label)));
    return QStringLiteral(" style=\"text-indent:-%1px\">").arg(indent) + label;
}

class Bounder {
public:
    Bounder(QStringView html, const OutsideHtmlLimits& limits)
        : m_in(html.left(std::max<qsizetype>(limits.maxSource, 0))), m_limits(limits),
          m_cut(html.size() > m_in.size()) {}

    QString run() {
        while (m_pos < m_in.size() && !m_stop) {
            if (m_in[m_pos] == u'<') {
                tag();
            } else {
                qsizetype end = m_in.indexOf(u'<', m_pos);
                if (end < 0) {
                    end = m_in.size();
                }
                text(m_in.mid(m_pos, end - m_pos));
                m_pos = end;
            }
        }
        while (!m_open.empty()) {
            pop();
        }
        closeControls(0);
        m_cut = m_cut || m_letters.leftOutWhatTakesNoRoom();
        if (m_cut) {
            m_out += QStringLiteral("<p>") + outsideHtmlShortenedNote() + QStringLiteral("</p>");
        } else if (m_flattened) {
            m_out += QStringLiteral("<p>") + outsideHtmlFlattenedNote() + QStringLiteral("</p>");
        }
        return m_out;
    }

    qint64 spent() const { return m_cost.spent(); }
    qint64 loaded() const { return m_cost.loaded(); }

private:
    struct Open {
        Open(QString name, Role role, bool kept, bool inKeptTable, Role keptRole)
            : name(std::move(name)), role(role), kept(kept), inKeptTable(inKeptTable), keptRole(keptRole) {}

        QString name;
        Role role = Role::Other;
        bool kept = false;
        // Whether the table that holds this element's content (if any) is kept.
        bool inKeptTable = false;
        // The role of the innermost kept element, this one or one around it: what Qt's
        // parser sees as the parent of the next tag.
        Role keptRole = Role::Other;
        // A kept list: the items it holds so far, the attributes its tag was written with but its
        // start, where that tag's ">" stands in what is written, and for an ordered one going on
        // from another, the number of its first item (each is numbered in its text).
        int items = 0;
        QString attributes;
        qsizetype tagEnd = 0;
        int numberedFrom = 0;
        // An ordered list's numbering ("1", "a", "A", "i" or "I"), and while Qt numbers its items,
        // where each item's tag ends in what is written.
        QChar numbering = u'1';
        std::vector<qsizetype> itemEnds;
    };

    // How a character of the text is written out: as it was, as the character a reference
    // names, as the named reference it was, or as "&amp;".
    enum class Written { AsIs, Reference, Named, Ampersand };

    bool inKeptTable() const { return !m_open.empty() && m_open.back().inKeptTable; }
    Role keptParentRole() const { return m_open.empty() ? Role::Other : m_open.back().keptRole; }

    // Whether a table part may stand where the next tag goes. Qt lays out a cell outside
    // a row by nesting all that follows it, which costs as much as deep tables.
    bool tablePartFits(const Element& kind) const {
        const Role parent = keptParentRole();
        switch (kind.role) {
        case Role::Cell:
            return parent == Role::Row;
        case Role::Row:
            return parent == Role::Table || parent == Role::Section;
        default:
            // Sections and the caption.
            return parent == Role::Table;
        }
    }

    void text(QStringView text) {
        const qsizetype room = m_limits.maxText - m_textLength;
        // Whether the text ends within this stretch: what follows it is not looked at.
        bool last = false;
        if (text.size() > room) {
            qsizetype keep = std::max<qsizetype>(room, 0);
            // Neither half an entity nor half a surrogate pair.
            const qsizetype amp = text.left(keep).lastIndexOf(u'&');
            if (amp >= 0 && text.left(keep).indexOf(u';', amp) < 0) {
                keep = amp;
            }
            if (keep > 0 && text[keep - 1].isHighSurrogate()) {
                --keep;
            }
            text = text.left(keep);
            m_cut = true;
            last = true;
        }
        m_textLength += text.size();
        for (qsizetype i = 0; i < text.size();) {
            char32_t c = text[i].unicode();
            qsizetype next = i + 1;
            Written written = Written::AsIs;
            if (text[i].isHighSurrogate() && next < text.size() && text[next].isLowSurrogate()) {
                c = QChar::surrogateToUcs4(text[i], text[next]);
                ++next;
            } else if (text[i] == u'&') {
                // A reference is read here as Qt's reader reads it, so that marks, what takes
                // no room and runs count as what Qt draws. One that names a character is
                // written as that character, one that Qt reads as no character is left out,
                // and an "&" that begins no reference Qt reads is written as "&amp;": text
                // that tags left out no longer part could otherwise join into a reference.
                const Reference reference = readReference(text, i);
                next = reference.end;
                if (reference.kind == Reference::NoCharacter) {
                    i = next;
                    continue;
                }
                if (reference.kind == Reference::None) {
                    written = Written::Ampersand;
                    c = u'&';
                } else if (reference.kind == Reference::Named) {
                    // A character that is neither a mark nor takes no room: Qt reads the
                    // name again as it was written.
                    written = Written::Named;
                    c = reference.character;
                } else {
                    written = Written::Reference;
                    c = reference.character;
                }
            }
            kept(text.mid(i, next - i), c, written);
            if (m_stop) {
                // What laying out may cost is spent.
                return;
            }
            i = next;
        }
        m_stop = last;
    }

    // The character `c` of the text, written `source`, kept or left out: a letter carries a few
    // marks and a few characters that take no room (Qt shapes thousands on one letter for
    // seconds; what takes no room between marks starts no new letter, as Qt looks past it for
    // the letter a mark sits on), and a word a few runs of one script and direction (Qt lays
    // out a word changing script at every character for seconds). Past the runs a word may
    // hold, the rest of the word is left out; past what laying the text out may cost (see
    // ShapingCost), the rest of the text.
    void kept(QStringView source, char32_t c, Written written) {
        if (c == 0x202D || c == 0x202E) {
            // An override reverses letters themselves ("gnp.exe"): text from outside never says
            // how to draw the app's own, so it is left out as it is from names.
            return;
        }
        // A name Qt knows and that is not read here stands for a character that takes room, of
        // a script and direction not known.
        const bool unknown = written == Written::Named && c == 0;
        const char32_t letter = unknown ? char32_t(u'&') : c;
        // What Qt lays out: the spaces of a line that may not break (<nobr>) are no-break ones, so
        // that the line is one word however long, which Qt breaks anywhere, looking at the rest of
        // it for each line (4,000 words cost a card 65 to 111 ms).
        const bool noBreak = m_noBreak > 0 && m_preformatted == 0 && written == Written::AsIs;
        const char32_t laid = noBreak && isSpace(QChar(c)) ? char32_t(0xA0) : letter;
        if (m_cuttingWord) {
            if (unknown || !WordRuns::endsWord(laid)) {
                return;
            }
            m_cuttingWord = false;
            m_runs.endWord();
        }
        if (c == 0x2028 || c == 0x2029 || (c == u'\n' && m_preformatted > 0)) {
            separator(source, c, written);
            return;
        }
        // A letter the word's runs leave out is none that marks after it sit on: they sit on the
        // letter kept before it and count there, so its count goes back to what it was.
        const LetterMarks letters = m_letters;
        if (!m_letters.keeps(letter)) {
            return;
        }
        if (!(unknown ? m_runs.keepsUnknown() : m_runs.keeps(laid))) {
            m_letters = letters;
            m_cuttingWord = true;
            m_cut = true;
            return;
        }
        // A line of preformatted text never breaks, and every paint draws it whole: a tab, and what
        // follows one, start runs of their own (the runs such a line holds cost it the more; 10,000
        // tabs between letters cost a card 40 ms, as many spaces 5).
        const bool tab = m_preformatted > 0 && c == u'\t';
        const bool startsRun = m_runs.startedRun() || tab || (m_preformatted > 0 && m_afterTab);
        if (!m_cost.keeps(laid, startsRun, m_runs.unbroken())) {
            m_cut = true;
            m_stop = true;
            return;
        }
        m_afterTab = tab;
        if (!control(c)) {
            return;
        }
        if (written == Written::Ampersand || (written == Written::Reference && c == u'&')) {
            m_out += QLatin1String("&amp;");
        } else if (c == u'<' && written != Written::Named) {
            m_out += QLatin1String("&lt;");
        } else if (c == u'>' && written != Written::Named) {
            m_out += QLatin1String("&gt;");
        } else if (written == Written::Reference) {
            m_out += QString::fromUcs4(&c, 1);
        } else {
            m_out += source;
        }
    }

    // A paragraph or line separator, as text or as a reference, or a line break of preformatted
    // text: Qt starts a paragraph or a line at it as at an element, so it counts against the
    // fragment's elements. Past them it reads as a space, and the note says the layout was
    // flattened.
    void separator(QStringView source, char32_t c, Written written) {
        closeControls(0);
        m_runs.endWord();
        m_letters.startLetter();
        m_afterTab = false;
        if (m_elements >= m_limits.maxElements) {
            m_flattened = true;
            m_out += u' ';
            return;
        }
        if (!m_cost.keeps(c, false, 0)) {
            m_cut = true;
            m_stop = true;
            return;
        }
        ++m_elements;
        m_out += written == Written::Reference ? QString(QChar(c)) : source.toString();
    }

    // A reference as Qt's HTML reader reads it: "&", at most eight characters, ";". A numeric
    // one is "#" and a decimal number, or "#x" (or "#X") and a hexadecimal one, either signed
    // "+" and the hexadecimal one also prefixed "0x" (Qt reads its digits as a number given
    // in that base), with leading zeros; 128 to 159 name the characters Windows-1252 gives
    // them. Of the names Qt knows, those of the joiners, the direction marks and the soft hyphen
    // name characters that take no room; every other name Qt knows names a character that
    // takes room, and one it does not know stays text.
    struct Reference {
        enum Kind { None, Character, NoCharacter, Named } kind = None;
        // Past the reference, or past the "&" when there is none.
        qsizetype end = 0;
        char32_t character = 0;
    };

    static Reference readReference(QStringView text, qsizetype at) {
        constexpr qsizetype longest = 8;
        Reference reference;
        reference.end = at + 1;
        const qsizetype semicolon = text.mid(at + 1, longest + 1).indexOf(u';');
        if (semicolon <= 0) {
            return reference;
        }
        const QStringView body = text.mid(at + 1, semicolon);
        const qsizetype end = at + 1 + semicolon + 1;
        if (body.front() != u'#') {
            if (!std::all_of(body.begin(), body.end(),
                             [](QChar c) { return isAsciiLetter(c) || (c >= u'0' && c <= u'9'); })) {
                return reference;
            }
            static constexpr std::pair<const char*, char32_t> invisibles[] = {
                {"zwnj", 0x200C}, {"zwj", 0x200D}, {"shy", 0x00AD}, {"lrm", 0x200E}, {"rlm", 0x200F}};
            // Names written often, read for their script and direction; any other name is
            // counted as a character that may start a run.
            static constexpr std::pair<const char*, char32_t> common[] = {
                {"amp", u'&'}, {"lt", u'<'}, {"gt", u'>'}, {"quot", u'"'}, {"apos", u'\''}, {"nbsp", 0x00A0}};
            reference.end = end;
            reference.kind = Reference::Named;
            for (const auto& [name, character] : invisibles) {
                if (body == QLatin1String(name)) {
                    reference.kind = Reference::Character;
                    reference.character = character;
                }
            }
            for (const auto& [name, character] : common) {
                if (body == QLatin1String(name)) {
                    reference.character = character;
                }
            }
            return reference;
        }
        QStringView number = body.mid(1);
        const bool hex = !number.isEmpty() && (number.front() == u'x' || number.front() == u'X');
        if (hex) {
            number = number.mid(1);
        }
        if (!number.isEmpty() && number.front() == u'+') {
            number = number.mid(1);
        }
        if (hex && number.size() > 2 && number[0] == u'0' && (number[1] == u'x' || number[1] == u'X')) {
            number = number.mid(2);
        }
        if (number.isEmpty() || !std::all_of(number.begin(), number.end(), [hex](QChar c) {
                return hex ? isHexDigit(c) : (c >= u'0' && c <= u'9');
            })) {
            return reference;
        }
        // At most seven digits: the value fits.
        char32_t value = 0;
        for (const QChar digit : number) {
            const char16_t d = digit.unicode();
            value = value * (hex ? 16 : 10) + (d <= u'9' ? d - u'0' : (d | 0x20) - u'a' + 10);
        }
        reference.end = end;
        if (value == 0 || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
            // Qt reads these as a nul, a lone surrogate, or two halves of nothing.
            reference.kind = Reference::NoCharacter;
            return reference;
        }
        static constexpr char16_t windows1252[32] = {
            0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
            0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
            0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
        reference.kind = Reference::Character;
        reference.character = value >= 0x80 && value <= 0x9F ? char32_t(windows1252[value - 0x80]) : value;
        return reference;
    }

    qsizetype skipSpaces(qsizetype p) const {
        while (p < m_in.size() && isSpace(m_in[p])) {
            ++p;
        }
        return p;
    }

    // At a "<": a tag, a comment or a declaration, or else a plain "<" of the text. A
    // tag that the fragment never ends ends the fragment, as in a browser.
    void tag() {
        const qsizetype n = m_in.size();
        const qsizetype start = m_pos + 1;
        if (start >= n) {
            text(m_in.mid(m_pos));
            m_pos = n;
            return;
        }
        const QChar first = m_in[start];
        if (first == u'!' || first == u'?') {
            qsizetype end = -1;
            if (m_in.mid(start).startsWith(QLatin1String("!--"))) {
                end = m_in.indexOf(QLatin1String("-->"), start + 3);
                end = end < 0 ? -1 : end + 2;
            } else {
                end = m_in.indexOf(u'>', start);
            }
            m_pos = end < 0 ? n : end + 1;
            return;
        }
        if (first == u'/') {
            qsizetype p = start + 1;
            while (p < n && isNameChar(m_in[p])) {
                ++p;
            }
            if (p == start + 1 || !isAsciiLetter(m_in[start + 1])) {
                text(m_in.mid(m_pos, 1));
                ++m_pos;
                return;
            }
            const QString name = m_in.mid(start + 1, p - start - 1).toString().toLower();
            const qsizetype end = m_in.indexOf(u'>', p);
            m_pos = end < 0 ? n : end + 1;
            if (end >= 0) {
                close(name);
            }
            return;
        }
        if (!isAsciiLetter(first)) {
            text(m_in.mid(m_pos, 1));
            ++m_pos;
            return;
        }
        qsizetype p = start;
        while (p < n && isNameChar(m_in[p])) {
            ++p;
        }
        const QString name = m_in.mid(start, p - start).toString().toLower();
        std::vector<std::pair<QString, QStringView>> attributes;
        bool selfClosed = false;
        for (;;) {
            p = skipSpaces(p);
            if (p >= n) {
                m_pos = n;
                return;
            }
            const QChar c = m_in[p];
            if (c == u'>') {
                ++p;
                break;
            }
            if (c == u'/' || c == u'=') {
                selfClosed = c == u'/' && p + 1 < n && m_in[p + 1] == u'>';
                ++p;
                continue;
            }
            const qsizetype nameStart = p;
            while (p < n && !isSpace(m_in[p]) && m_in[p] != u'=' && m_in[p] != u'>' && m_in[p] != u'/') {
                ++p;
            }
            const QStringView attribute = m_in.mid(nameStart, p - nameStart);
            QStringView value;
            p = skipSpaces(p);
            if (p < n && m_in[p] == u'=') {
                p = skipSpaces(p + 1);
                if (p < n && (m_in[p] == u'"' || m_in[p] == u'\'')) {
                    const qsizetype close = m_in.indexOf(m_in[p], p + 1);
                    if (close < 0) {
                        m_pos = n;
                        return;
                    }
                    value = m_in.mid(p + 1, close - p - 1);
                    p = close + 1;
                } else {
                    const qsizetype valueStart = p;
                    while (p < n && !isSpace(m_in[p]) && m_in[p] != u'>') {
                        ++p;
                    }
                    value = m_in.mid(valueStart, p - valueStart);
                }
            }
            if (attributes.size() < maxAttributes) {
                attributes.emplace_back(attribute.toString().toLower(), value);
            }
        }
        m_pos = p;
        open(name, attributes, selfClosed);
    }

    void open(const QString& name, const std::vector<std::pair<QString, QStringView>>& attributes,
              bool selfClosed) {
        const Element kind = element(name);
        if (kind.flags & Skipped) {
            if (!selfClosed) {
                // Up to its end tag; the end tag itself then matches nothing.
                const qsizetype end = m_in.indexOf(QStringLiteral("</") + name, m_pos, Qt::CaseInsensitive);
                m_pos = end < 0 ? m_in.size() : end;
            }
            return;
        }
        if (kind.flags & DroppedVoid) {
            return;
        }
        const bool isVoid = kind.flags & Void;
        if (!(kind.flags & (Kept | Void))) {
            // Its text stays; its end tag is matched so it closes nothing else.
            if (!selfClosed) {
                push({name, Role::Other, false, inKeptTable(), keptParentRole()});
            }
            return;
        }
        if (startsBlockOrLine(name, kind) || kind.role != Role::Other) {
            // Qt ends an embedding only at a block's end: one opened before a line break or a
            // block would turn around what follows it.
            closeControls(0);
        }
        closeImplied(kind);
        if (kind.role == Role::Item) {
            countItem();
        }
        if (kind.role == Role::Cell && inKeptTable() &&
            (keptParentRole() == Role::Table || keptParentRole() == Role::Section)) {
            // A cell straight in its table gets the row it lacks.
            open(QStringLiteral("tr"), {}, false);
        }
        const bool isTable = kind.role == Role::Table;
        bool kept = m_elements < m_limits.maxElements && m_depth < m_limits.maxDepth;
        if (isTable && m_tableDepth >= m_limits.maxTableDepth) {
            kept = false;
        }
        if ((kind.flags & TablePart) && (!inKeptTable() || !tablePartFits(kind))) {
            kept = false;
        }
        // The grid the cell or row would add to.
        Span span;
        // A list's attributes as written, but its start; an ordered one's numbering and start.
        QString listAttributes;
        QChar numbering = u'1';
        const int start = kind.role == Role::List ? listStart(attributes, m_limits.maxListStart) : 0;
        if (kept && kind.role == Role::Row) {
            kept = admitRow();
        } else if (kept && kind.role == Role::Cell) {
            span = spanOf(attributes);
            kept = admitCell(span);
        }
        if (kept && startsBlockOrLine(name, kind) &&
            !m_cost.keeps(name == u"br" ? 0x2028 : 0x2029, false, 0)) {
            // A block or a line costs Qt what a paragraph or line separator does (an item of a
            // list, a paragraph of a few letters, a dozen microseconds to read and lay out): past
            // what laying the fragment out may cost, the rest is cut.
            m_cut = true;
            m_stop = true;
            return;
        }
        if (!kept) {
            m_flattened = true;
            // Flat text of cells and items still reads as separate words.
            if (!(kind.flags & Phrase)) {
                writeSpace();
            }
        } else {
            ++m_elements;
            endWordAt(name, kind);
            m_out += u'<' + name;
            bool spansWritten = false;
            for (const auto& [attribute, value] : attributes) {
                if (attribute == u"colspan" || attribute == u"rowspan") {
                    if (kind.role == Role::Cell && !spansWritten) {
                        writeSpans(span);
                        spansWritten = true;
                    }
                    continue;
                }
                const QString keptValue = keptAttribute(name, attribute, value, m_limits);
                if (keptValue.isEmpty()) {
                    continue;
                }
                const QString written = u' ' + attribute + QStringLiteral("=\"") + keptValue + u'"';
                m_out += written;
                if (kind.role == Role::List && attribute != u"start") {
                    listAttributes += written;
                }
            }
            if (kind.role == Role::List && name == u"ol") {
                numbering = listNumbering(attributes);
                if (start > 1) {
                    // Qt numbers it from 1: its items are numbered in their text.
                    m_out += QStringLiteral(" style=\"list-style-type:none\"");
                }
            }
            if (kind.role == Role::Item && m_itemNumber > 0) {
                m_out += numberInText(m_itemNumber, m_itemNumbering, mayHang(1));
            } else {
                m_out += u'>';
                if (kind.role == Role::Item && m_itemList < m_open.size()) {
                    m_open[m_itemList].itemEnds.push_back(m_out.size());
                }
            }
        }
        if (isVoid) {
            return;
        }
        Open opened{name, kind.role, kept, isTable ? kept : inKeptTable(),
                    kept ? kind.role : keptParentRole()};
        if (kept && kind.role == Role::List) {
            opened.attributes = std::move(listAttributes);
            opened.tagEnd = m_out.size() - 1;
            opened.numbering = numbering;
            opened.numberedFrom = start > 1 ? start : 0;
        }
        if (push(std::move(opened)) && selfClosed) {
            pop();
        }
    }

    // A list item about to be kept in the list it goes in (the innermost kept element) is counted
    // there. Qt's HTML parsing grows with the square of the items of one list (2,000 took it some
    // 120 ms where as many paragraphs take 5): past `maxItemsPerList` the list ends and another
    // goes on from it, in its style, with no room between the two. Qt 6.4 numbers every list from
    // 1, whatever its start: an ordered one goes on unmarked, each item numbered on in its text.
    void countItem() {
        m_itemNumber = 0;
        m_itemList = m_open.size();
        auto list = std::find_if(m_open.rbegin(), m_open.rend(), [](const Open& each) { return each.kept; });
        if (list == m_open.rend() || list->role != Role::List) {
            return;
        }
        ++list->items;
        m_itemNumbering = list->numbering;
        if (list->name == u"ol" && list->numberedFrom == 0) {
            m_itemList = static_cast<std::size_t>(m_open.rend() - list) - 1;
        }
        if (list->numberedFrom > 0) {
            m_itemNumber = list->numberedFrom + list->items - 1;
        }
        if (list->items <= m_limits.maxItemsPerList || m_elements >= m_limits.maxElements) {
            // Past the elements a fragment may hold the item is flattened anyway.
            return;
        }
        const QString name = list->name;
        const int number = list->numberedFrom > 0 ? m_itemNumber : list->items;
        const QString attributes = list->attributes;
        const qsizetype tagEnd = list->tagEnd;
        const QChar numbering = list->numbering;
        const std::vector<qsizetype> itemEnds = std::move(list->itemEnds);
        m_itemList = m_open.size();
        // What is open inside it is left out (nothing of it was kept), and it ends.
        const std::size_t keep = static_cast<std::size_t>(m_open.rend() - list) - 1;
        while (m_open.size() > keep) {
            pop();
        }
        // It ends with no room after its last item: written into its tag, which nothing written
        // since keeps a place after (a table it holds is closed, one around it placed its spans
        // before it).
        const bool ordered = name == u"ol";
        // Numbered by Qt so far, its items are numbered in their text as the next part's are: each
        // where Qt would, in the list's numbering.
        QString rebuilt =
            QStringLiteral(" style=\"margin-bottom:0px") +
            (ordered && !itemEnds.empty() ? QStringLiteral(";list-style-type:none\"") : QStringLiteral("\""));
        qsizetype from = tagEnd;
        const bool hanging = mayHang(itemEnds.size());
        for (std::size_t item = 0; item < itemEnds.size(); ++item) {
            rebuilt += QStringView(m_out).mid(from, itemEnds[item] - 1 - from);
            rebuilt += numberInText(static_cast<int>(item) + 1, numbering, hanging);
            from = itemEnds[item];
        }
        rebuilt += QStringView(m_out).mid(from);
        m_out.truncate(tagEnd);
        m_out += rebuilt;
        ++m_elements;
        m_out += u'<' + name + attributes +
                 (ordered ? QStringLiteral(" style=\"list-style-type:none;margin-top:0px\">")
                          : QStringLiteral(" style=\"margin-top:0px\">"));
        Open next{name, Role::List, true, inKeptTable(), Role::List};
        next.attributes = attributes;
        next.tagEnd = m_out.size() - 1;
        next.items = 1;
        next.numbering = numbering;
        if (ordered) {
            next.numberedFrom = number;
            m_itemNumber = number;
        }
        push(std::move(next));
    }

    // Whether `items` more numbers may hang in the margin: each item's style for it is some thirty
    // characters, more than a list of items that say nothing ("<li>") holds. What is written stays
    // within a few times what was read: past that, numbers stand in the text.
    bool mayHang(std::size_t items) const {
        constexpr qsizetype hangingStyle = 40;
        return m_out.size() + hangingStyle * static_cast<qsizetype>(items) <= 3 * m_pos + 2048;
    }

    // Whether Qt starts a block or a line at the element: a block, an item, a term, a line break.
    // The parts of a table are priced with its grid.
    static bool startsBlockOrLine(const QString& name, const Element& kind) {
        return (kind.flags & Block) || kind.role == Role::Item || kind.role == Role::Term || name == u"br";
    }

    // Where a kept element starts or ends a block (or breaks the line), Qt lays out what
    // follows as a new word. Inline elements part no word.
    void endWordAt(const QString& name, const Element& kind) {
        if ((kind.flags & Block) || kind.role != Role::Other || name == u"br") {
            endWord();
        }
    }

    // What follows starts a word, and a letter: marks after a block's start (or a line's) sit on
    // nothing before it, and Qt shapes them as the block's first cluster, so they count against
    // that block, not against the letter that ended the one before.
    void endWord() {
        m_runs.endWord();
        m_cost.endWord();
        m_letters.startLetter();
        m_cuttingWord = false;
    }

    // Whether the character is written, keeping count of the embeddings and isolates it opens or
    // closes as the bidirectional algorithm does: a pop closes the innermost embedding unless an
    // isolate is open inside it, an isolate's end closes it and all opened inside it. One past the
    // few that may be open at once is left out.
    bool control(char32_t c) {
        const bool embedding = c == 0x202A || c == 0x202B;
        if (embedding || (c >= 0x2066 && c <= 0x2068)) {
            if (m_controls.size() >= maxOpenControls) {
                return false;
            }
            m_controls.push_back({!embedding, m_open.size()});
        } else if (c == 0x202C && !m_controls.empty() && !m_controls.back().isolate) {
            m_controls.pop_back();
        } else if (c == 0x2069) {
            const auto isolate = std::find_if(m_controls.rbegin(), m_controls.rend(),
                                              [](const Control& each) { return each.isolate; });
            if (isolate != m_controls.rend()) {
                m_controls.erase(std::next(isolate).base(), m_controls.end());
            }
        }
        return true;
    }

    // Closes, innermost first, the embeddings and isolates opened while `depth` or more elements
    // were open: those of the element that ends when it is the `depth`th, or all of them for 0.
    void closeControls(std::size_t depth) {
        while (!m_controls.empty() && m_controls.back().depth >= depth) {
            m_out += QChar(m_controls.back().isolate ? 0x2069 : 0x202C);
            m_controls.pop_back();
        }
    }

    // A space written where markup is left out, so that flat text of cells and items still reads
    // as separate words: a word and a letter end there too.
    void writeSpace() {
        m_out += u' ';
        endWord();
    }

    // How many times Qt lays out the text of a cell `depth` tables deep: four times in a table
    // (its cells at their narrowest and widest, then at their width), and twice as often again
    // for each table around it.
    static int timesLaidOut(int depth) { return depth <= 0 ? 1 : 4 << (depth - 1); }

    // False when the element is too deep to track: it is closed at once.
    bool push(Open element) {
        if (m_open.size() >= maxTracked) {
            if (element.kept) {
                m_out += QStringLiteral("</") + element.name + u'>';
            }
            m_flattened = true;
            return false;
        }
        if (element.kept) {
            ++m_depth;
            if (element.name == u"pre") {
                ++m_preformatted;
            }
            if (element.name == u"nobr") {
                ++m_noBreak;
            }
            if (element.role == Role::Table) {
                ++m_tableDepth;
                m_cost.setTimes(timesLaidOut(m_tableDepth));
                m_tables.push_back(Table{});
                m_tables.back().start = m_out.size();
            }
        }
        ++m_openNames[element.name];
        m_open.push_back(std::move(element));
        return true;
    }

    void pop() {
        closeControls(m_open.size());
        const Open& top = m_open.back();
        if (top.kept) {
            endWordAt(top.name, element(top.name));
            m_out += QStringLiteral("</") + top.name + u'>';
            --m_depth;
            if (top.name == u"pre") {
                --m_preformatted;
            }
            if (top.name == u"nobr") {
                --m_noBreak;
            }
            if (top.role == Role::Table) {
                --m_tableDepth;
                m_cost.setTimes(timesLaidOut(m_tableDepth));
                closeTable();
            }
        }
        --m_openNames[top.name];
        m_open.pop_back();
    }

    // Closes the open elements down to and including the innermost `name`, if any. An
    // end tag that matches nothing costs no search, and one that matches pops all it
    // passed, so matching stays linear in the fragment.
    void close(const QString& name) {
        if (m_openNames.value(name) <= 0) {
            return;
        }
        const auto found = std::find_if(m_open.rbegin(), m_open.rend(),
                                        [name](const Open& element) { return element.name == name; });
        if (found == m_open.rend()) {
            return;
        }
        const std::size_t keep = static_cast<std::size_t>(m_open.rend() - found) - 1;
        while (m_open.size() > keep) {
            pop();
        }
    }

    // What HTML closes without an end tag: a list item at the next item, a cell at the
    // next cell or row, a paragraph at the next block. Left open, they would nest.
    void closeImplied(const Element& kind) {
        auto closeWithin = [this](std::initializer_list<Role> targets,
                                  std::initializer_list<Role> boundaries) {
            // Only the innermost few: an item that far inside something else is nested.
            const std::size_t reach = std::min<std::size_t>(m_open.size(), 16);
            for (auto it = m_open.rbegin(); it != m_open.rbegin() + static_cast<std::ptrdiff_t>(reach);
                 ++it) {
                const Role role = it->role;
                if (std::find(boundaries.begin(), boundaries.end(), role) != boundaries.end()) {
                    return;
                }
                if (std::find(targets.begin(), targets.end(), role) != targets.end()) {
                    const QString target = it->name;
                    close(target);
                    return;
                }
            }
        };
        switch (kind.role) {
        case Role::Item:
            closeWithin({Role::Item}, {Role::List, Role::Table});
            break;
        case Role::Cell:
            closeWithin({Role::Cell}, {Role::Row, Role::Table});
            break;
        case Role::Row:
            closeWithin({Role::Row}, {Role::Table, Role::Section});
            break;
        case Role::Section:
            closeWithin({Role::Section}, {Role::Table});
            break;
        case Role::Term:
            closeWithin({Role::Term}, {Role::Terms});
            break;
        default:
            break;
        }
        if ((kind.flags & Block) && !m_open.empty() && m_open.back().role == Role::Paragraph) {
            pop();
        }
    }

    // A table as it is being kept: the grid its rows and cells make so far, and where
    // its spans were written, so that they can be cut to the grid when it ends.
    struct SpanWritten {
        qsizetype offset = 0;
        qsizetype length = 0;
        bool rows = false;
        int value = 1;
        int row = 0;
        int cell = 0;
    };
    struct Table {
        qsizetype start = 0;
        int rows = 0;
        // The widest row counted in columns (with spans) and in cells.
        int columns = 0;
        int widestCells = 0;
        int rowCells = 0;
        int rowColumns = 0;
        // Cells spanning into later rows: the rows they still take, and their columns.
        std::vector<std::pair<int, int>> spanning;
        std::vector<SpanWritten> spans;
    };
    struct Span {
        int columns = 1;
        int rows = 1;
    };

    Span spanOf(const std::vector<std::pair<QString, QStringView>>& attributes) const {
        Span span;
        bool columns = false;
        bool rows = false;
        for (const auto& [attribute, value] : attributes) {
            if (attribute == u"colspan" && !columns && value.size() <= maxAttributeValue) {
                span.columns = spanValue(value, m_limits.maxSpan);
                columns = true;
            } else if (attribute == u"rowspan" && !rows && value.size() <= maxAttributeValue) {
                span.rows = spanValue(value, m_limits.maxSpan);
                rows = true;
            }
        }
        return span;
    }

    // Qt builds every cell of a table's grid, spans filling the ones they cover: a row
    // is kept while the rows times the widest row stay within the bound.
    bool admitRow() {
        Table& table = m_tables.back();
        int carried = 0;
        for (const auto& [rows, columns] : table.spanning) {
            carried += columns;
        }
        const long long width = std::max({table.columns, carried, 1});
        if ((table.rows + 1) * width > gridRoom(table)) {
            return false;
        }
        const long long before = grid(table);
        ++table.rows;
        table.rowCells = 0;
        table.rowColumns = carried;
        table.columns = std::max(table.columns, carried);
        for (auto& each : table.spanning) {
            --each.first;
        }
        table.spanning.erase(std::remove_if(table.spanning.begin(), table.spanning.end(),
                                            [](const std::pair<int, int>& each) { return each.first <= 0; }),
                             table.spanning.end());
        m_gridCells += grid(table) - before;
        return true;
    }

    // A cell is kept, its columns cut, while its row stays within the grid's bound.
    bool admitCell(Span& span) {
        Table& table = m_tables.back();
        const long long room = gridRoom(table) / std::max(table.rows, 1) - table.rowColumns;
        if (room < 1) {
            return false;
        }
        const long long before = grid(table);
        span.columns = static_cast<int>(std::min<long long>(span.columns, room));
        table.rowColumns += span.columns;
        table.columns = std::max(table.columns, table.rowColumns);
        ++table.rowCells;
        table.widestCells = std::max(table.widestCells, table.rowCells);
        if (span.rows > 1) {
            table.spanning.emplace_back(span.rows - 1, span.columns);
        }
        m_gridCells += grid(table) - before;
        return true;
    }

    static long long grid(const Table& table) { return static_cast<long long>(table.rows) * table.columns; }

    // The grid `table` may grow to: the fragment's bound less what its other tables take.
    long long gridRoom(const Table& table) const {
        return m_limits.maxTableCells - (m_gridCells - grid(table));
    }

    void writeSpans(const Span& span) {
        Table& table = m_tables.back();
        auto write = [&](bool rows, int value) {
            if (value <= 1) {
                return;
            }
            const qsizetype offset = m_out.size();
            m_out += (rows ? QStringLiteral(" rowspan=\"") : QStringLiteral(" colspan=\"")) +
                     QString::number(value) + u'"';
            table.spans.push_back(
                {offset, m_out.size() - offset, rows, value, table.rows - 1, table.rowCells - 1});
        };
        // In the order Qt reads them does not matter; columns first.
        write(false, span.columns);
        write(true, span.rows);
    }

    // At the end of a table its spans are cut to the rows and columns it has: a span
    // past them makes Qt build rows and columns that hold nothing.
    void closeTable() {
        Table table = std::move(m_tables.back());
        m_tables.pop_back();
        bool changed = false;
        for (SpanWritten& span : table.spans) {
            const int room = span.rows ? table.rows - span.row : table.widestCells - span.cell;
            const int value = std::max(1, std::min(span.value, room));
            changed = changed || value != span.value;
            span.value = value;
        }
        if (!changed) {
            return;
        }
        // Rebuilt once from its start, so that cutting stays linear in the table.
        QString rebuilt;
        rebuilt.reserve(m_out.size() - table.start);
        qsizetype from = table.start;
        for (const SpanWritten& span : table.spans) {
            rebuilt += QStringView(m_out).mid(from, span.offset - from);
            if (span.value > 1) {
                rebuilt += (span.rows ? QStringLiteral(" rowspan=\"") : QStringLiteral(" colspan=\"")) +
                           QString::number(span.value) + u'"';
            }
            from = span.offset + span.length;
        }
        rebuilt += QStringView(m_out).mid(from);
        m_out.truncate(table.start);
        m_out += rebuilt;
    }

    QStringView m_in;
    const OutsideHtmlLimits& m_limits;
    qsizetype m_pos = 0;
    QString m_out;
    std::vector<Open> m_open;
    // How many of each name are open, so an end tag matching none is dropped at once.
    QHash<QString, int> m_openNames;
    int m_depth = 0;
    int m_tableDepth = 0;
    // Kept preformatted elements open: each line break in them starts a paragraph.
    int m_preformatted = 0;
    // Kept elements open whose lines may not break (<nobr>), and whether the last character kept
    // was a tab of preformatted text.
    int m_noBreak = 0;
    bool m_afterTab = false;
    // The number the list item being opened is given in its text (see countItem), or 0, in its
    // list's numbering; else the list it goes in where Qt numbers it (an index of m_open), or past
    // them.
    int m_itemNumber = 0;
    QChar m_itemNumbering = u'1';
    std::size_t m_itemList = 0;
    int m_elements = 0;
    qsizetype m_textLength = 0;
    bool m_cut = false;
    bool m_flattened = false;
    bool m_stop = false;
    // The marks of the last letter, counted over the whole fragment: markup between a
    // letter and its marks parts nothing. So are the runs of a word, but for markup that
    // starts a block or a line.
    LetterMarks m_letters{m_limits.maxMarks};
    WordRuns m_runs{m_limits.maxRunsPerWord};
    // What laying the text out costs, against the fragment's budget.
    ShapingCost m_cost{m_limits.maxShapingCost, m_limits.maxLoadingCost, m_limits.fonts};
    // Whether the rest of the word is being left out.
    bool m_cuttingWord = false;
    // The embeddings and isolates of the text open where it stands, each with the number of
    // elements open where it was opened: it is closed where the innermost of them ends.
    struct Control {
        bool isolate = false;
        std::size_t depth = 0;
    };
    std::vector<Control> m_controls;
    std::vector<Table> m_tables;
    // The cells of the grids of all kept tables so far.
    long long m_gridCells = 0;
};

} // namespace

QString boundOutsideHtml(QStringView html, const OutsideHtmlLimits& limits, qint64* spent, qint64* loaded) {
    Bounder bounder(html, limits);
    QString bounded = bounder.run();
    if (spent) {
        *spent = bounder.spent();
    }
    if (loaded) {
        *loaded = bounder.loaded();
    }
    return bounded;
}

QString outsideHtmlShortenedNote() {
    return QStringLiteral("[This text is too long to show whole: the rest is left out.]");
}

QString outsideHtmlFlattenedNote() {
    return QStringLiteral("[This text nests too deeply to show its layout whole: deeper parts are "
                          "shown flat.]");
}

} // namespace velmora
