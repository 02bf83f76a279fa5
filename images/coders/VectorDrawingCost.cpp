#include "images/coders/VectorDrawingCost.h"

#include <zlib.h>

#include <QList>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace velmora::images {

namespace {

bool isPdfWhitespace(char c) {
    return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f' || c == '\0';
}

bool isPdfDelimiter(char c) {
    return c == '(' || c == ')' || c == '<' || c == '>' || c == '[' || c == ']' || c == '{' || c == '}' ||
           c == '/' || c == '%';
}

// Inflates a Flate stream into `out`, adding no more than `room` bytes; false when it is
// damaged or would add more.
bool inflateInto(const char* data, qsizetype size, QByteArray& out, qsizetype room) {
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    if (inflateInit(&stream) != Z_OK) {
        return false;
    }
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    stream.avail_in = uInt(std::min<qsizetype>(size, qsizetype(UINT_MAX)));
    char chunk[16384];
    int result = Z_OK;
    bool ok = true;
    while (result == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef*>(chunk);
        stream.avail_out = sizeof chunk;
        result = inflate(&stream, Z_NO_FLUSH);
        const qsizetype produced = qsizetype(sizeof chunk) - qsizetype(stream.avail_out);
        if (produced > room) {
            ok = false;
            break;
        }
        out.append(chunk, produced);
        room -= produced;
        if (result == Z_BUF_ERROR && stream.avail_in == 0) {
            break; // cut off: what came is read
        }
    }
    inflateEnd(&stream);
    return ok && (result == Z_STREAM_END || result == Z_OK || result == Z_BUF_ERROR);
}

// The drawing operators of content read token by token, with the state that decides their cost.
class ContentTally {
public:
    explicit ContentTally(double fallbackDashPeriod) : m_fallbackDash(fallbackDashPeriod) {}

    void read(const QByteArray& content);
    // Past the bound already, however often it is drawn: reading on would only cost more.
    bool over() const {
        return m_segments > VectorDrawingCost::maxPdfSegments || m_dashes > VectorDrawingCost::maxPdfDashes;
    }
    double segments() const { return m_segments; }
    double dashes() const { return m_dashes; }
    int forms() const { return m_forms; }

private:
    struct State {
        double scale = 1.0;
        double dashPeriod = 0; // 0: solid
    };
    void operate(const QByteArray& op);
    double number(int fromEnd) const {
        return fromEnd < m_numbers.size() ? m_numbers.at(m_numbers.size() - 1 - fromEnd) : 0.0;
    }
    void moveTo(double x, double y) {
        m_x = x;
        m_y = y;
    }
    void lineTo(double x, double y) {
        m_length += std::hypot(x - m_x, y - m_y);
        moveTo(x, y);
    }

    double m_fallbackDash = 0;
    QList<double> m_numbers;
    QList<double> m_array;
    QList<double> m_lastArray;
    bool m_inArray = false;
    QList<State> m_stack;
    State m_state;
    double m_x = 0, m_y = 0, m_startX = 0, m_startY = 0;
    double m_length = 0;
    double m_segments = 0;
    double m_dashes = 0;
    int m_forms = 0;
};

void ContentTally::operate(const QByteArray& op) {
    const auto count = [this](double n) { m_segments += n; };
    if (op == "m") {
        moveTo(number(1), number(0));
        m_startX = m_x;
        m_startY = m_y;
        count(1);
    } else if (op == "l") {
        lineTo(number(1), number(0));
        count(1);
    } else if (op == "c") {
        lineTo(number(5), number(4));
        lineTo(number(3), number(2));
        lineTo(number(1), number(0));
        count(1);
    } else if (op == "v" || op == "y") {
        lineTo(number(3), number(2));
        lineTo(number(1), number(0));
        count(1);
    } else if (op == "re") {
        m_length += 2 * (std::abs(number(1)) + std::abs(number(0)));
        moveTo(number(3), number(2));
        count(4);
    } else if (op == "h") {
        lineTo(m_startX, m_startY);
        count(1);
    } else if (op == "S" || op == "s" || op == "B" || op == "B*" || op == "b" || op == "b*") {
        if (op == "s" || op == "b" || op == "b*") {
            lineTo(m_startX, m_startY);
        }
        if (m_state.dashPeriod > 0) {
            m_dashes += m_length * m_state.scale / m_state.dashPeriod;
        }
        m_length = 0;
    } else if (op == "f" || op == "F" || op == "f*" || op == "n") {
        m_length = 0;
    } else if (op == "cm") {
        // The most the matrix stretches any length: its largest singular value.
        const double a = number(5), b = number(4), c = number(3), d = number(2);
        const double sum = a * a + b * b + c * c + d * d;
        const double determinant = a * d - b * c;
        const double stretch =
            std::sqrt((sum + std::sqrt(std::max(0.0, sum * sum - 4 * determinant * determinant))) / 2);
        m_state.scale *= std::isfinite(stretch) && stretch > 1 ? stretch : 1.0;
    } else if (op == "q") {
        if (m_stack.size() < 4096) {
            m_stack.append(m_state);
        }
    } else if (op == "Q") {
        if (!m_stack.isEmpty()) {
            m_state = m_stack.takeLast();
        }
    } else if (op == "d") {
        double period = 0;
        for (const double length : std::as_const(m_lastArray)) {
            period += std::abs(length);
        }
        m_state.dashPeriod = std::isfinite(period) ? period : 0;
    } else if (op == "gs") {
        // A graphics state may set a dash of its own: the finest any of them sets.
        if (m_fallbackDash > 0) {
            m_state.dashPeriod =
                m_state.dashPeriod > 0 ? std::min(m_state.dashPeriod, m_fallbackDash) : m_fallbackDash;
        }
    } else if (op == "Do") {
        ++m_forms;
    }
    if (!std::isfinite(m_dashes) || !std::isfinite(m_length)) {
        m_dashes = VectorDrawingCost::maxPdfDashes * 2;
        m_length = 0;
    }
}

void ContentTally::read(const QByteArray& content) {
    const char* p = content.constData();
    const qsizetype size = content.size();
    qsizetype at = 0;
    while (at < size) {
        const char c = p[at];
        if (isPdfWhitespace(c)) {
            ++at;
        } else if (c == '%') {
            while (at < size && p[at] != '\n' && p[at] != '\r') {
                ++at;
            }
        } else if (c == '(') {
            int depth = 0;
            for (; at < size; ++at) {
                if (p[at] == '\\') {
                    ++at;
                } else if (p[at] == '(') {
                    ++depth;
                } else if (p[at] == ')' && --depth == 0) {
                    ++at;
                    break;
                }
            }
            m_numbers.clear();
        } else if (c == '[') {
            m_inArray = true;
            m_array.clear();
            ++at;
        } else if (c == ']') {
            m_inArray = false;
            m_lastArray = m_array;
            m_numbers.clear();
            ++at;
        } else if (c == '<' || c == '>' || c == '{' || c == '}' || c == ')') {
            ++at;
        } else if (c == '/') {
            ++at;
            while (at < size && !isPdfWhitespace(p[at]) && !isPdfDelimiter(p[at])) {
                ++at;
            }
        } else {
            const qsizetype start = at;
            while (at < size && !isPdfWhitespace(p[at]) && !isPdfDelimiter(p[at])) {
                ++at;
            }
            const QByteArray token = QByteArray::fromRawData(p + start, at - start);
            const char first = token.at(0);
            bool isNumber = false;
            double value = 0;
            if ((first >= '0' && first <= '9') || first == '-' || first == '+' || first == '.') {
                value = token.toDouble(&isNumber);
                if (!isNumber) {
                    m_numbers.clear(); // neither a number nor an operator: damage
                    continue;
                }
            }
            if (isNumber) {
                if (m_inArray) {
                    if (m_array.size() < 64) {
                        m_array.append(value);
                    }
                } else {
                    m_numbers.append(value);
                    if (m_numbers.size() > 8) {
                        m_numbers.removeFirst();
                    }
                }
                continue;
            }
            if (token == "ID") {
                // Inline image data runs to "EI" standing alone.
                qsizetype end = at;
                while (end + 2 < size &&
                       !(isPdfWhitespace(p[end]) && p[end + 1] == 'E' && p[end + 2] == 'I' &&
                         (end + 3 == size || isPdfWhitespace(p[end + 3])))) {
                    ++end;
                }
                at = end + 3;
            } else if (!m_inArray) {
                operate(token);
                if (over()) {
                    return;
                }
            }
            m_numbers.clear();
        }
    }
}

// The finest dash period any graphics state dictionary ("/D [[...] phase]") sets, 0 for none.
double finestStateDash(const QByteArray& text) {
    double finest = 0;
    qsizetype at = 0;
    while ((at = text.indexOf("/D", at)) >= 0) {
        at += 2;
        qsizetype i = at;
        while (i < text.size() && isPdfWhitespace(text.at(i))) {
            ++i;
        }
        if (i + 1 >= text.size() || text.at(i) != '[') {
            continue;
        }
        ++i;
        while (i < text.size() && isPdfWhitespace(text.at(i))) {
            ++i;
        }
        if (i >= text.size() || text.at(i) != '[') {
            continue;
        }
        const qsizetype end = text.indexOf(']', i);
        if (end < 0) {
            break;
        }
        double period = 0;
        for (const QByteArray& part : text.mid(i + 1, end - i - 1).simplified().split(' ')) {
            period += std::abs(part.toDouble());
        }
        if (std::isfinite(period) && period > 0 && (finest == 0 || period < finest)) {
            finest = period;
        }
        at = end;
    }
    return finest;
}

// The filters a stream's dictionary names.
QList<QByteArray> filtersOf(const QByteArray& dictionary) {
    QList<QByteArray> names;
    const qsizetype key = dictionary.indexOf("/Filter");
    if (key < 0) {
        return names;
    }
    qsizetype at = key + 7;
    while (at < dictionary.size() && isPdfWhitespace(dictionary.at(at))) {
        ++at;
    }
    const bool list = at < dictionary.size() && dictionary.at(at) == '[';
    const qsizetype end = list ? dictionary.indexOf(']', at) : dictionary.size();
    while (at < (end < 0 ? dictionary.size() : end)) {
        if (dictionary.at(at) == '/') {
            const qsizetype start = ++at;
            while (at < dictionary.size() && !isPdfWhitespace(dictionary.at(at)) &&
                   !isPdfDelimiter(dictionary.at(at))) {
                ++at;
            }
            names.append(dictionary.mid(start, at - start));
            if (!list) {
                break;
            }
        } else if (!list && !isPdfWhitespace(dictionary.at(at))) {
            break;
        } else {
            ++at;
        }
    }
    return names;
}

bool drawsNothing(const QByteArray& dictionary) {
    // Pictures, fonts, metadata and the file's own tables are data, not drawing.
    static const char* const kinds[] = {"/Image",         "/XRef",     "/ObjStm",      "/Metadata",
                                        "/Length1",       "/Length2",  "/Length3",     "/Type1C",
                                        "/CIDFontType0C", "/OpenType", "/EmbeddedFile"};
    for (const char* kind : kinds) {
        if (dictionary.contains(kind)) {
            return true;
        }
    }
    return false;
}

} // namespace

std::optional<VectorDrawingCost::Pdf> VectorDrawingCost::measurePdf(const QByteArray& data) {
    ContentTally tally(finestStateDash(data));
    qsizetype read = 0;
    qsizetype at = 0;
    qsizetype previousEnd = 0;
    int forms = 0;
    int streams = 0;
    while ((at = data.indexOf("stream", at)) >= 0) {
        const qsizetype keyword = at;
        at += 6;
        if (keyword >= 3 && data.mid(keyword - 3, 3) == "end") {
            continue; // "endstream"
        }
        qsizetype body = at;
        if (body < data.size() && data.at(body) == '\r') {
            ++body;
        }
        if (body < data.size() && data.at(body) == '\n') {
            ++body;
        } else if (body == at) {
            continue; // not the keyword
        }
        qsizetype end = data.indexOf("endstream", body);
        if (end < 0) {
            end = data.size();
        }
        // The dictionary: back to the object's start, never into the stream before nor further
        // than a dictionary of a stream runs.
        const qsizetype window = std::max(previousEnd, keyword - 4096);
        const qsizetype object = QByteArrayView(data).sliced(window, keyword - window).lastIndexOf("obj");
        const qsizetype from = object < 0 ? window : window + object;
        const QByteArray dictionary = data.mid(from, keyword - from);
        previousEnd = end;
        at = end;
        if (++streams > maxPdfStreams) {
            return std::nullopt;
        }
        if (drawsNothing(dictionary)) {
            continue;
        }
        if (dictionary.contains("/Form")) {
            ++forms;
        }
        const QList<QByteArray> filters = filtersOf(dictionary);
        QByteArray content;
        const qsizetype room = maxPdfContentBytes - read;
        if (filters.isEmpty()) {
            if (end - body > room) {
                return std::nullopt;
            }
            content = data.mid(body, end - body);
        } else if (filters.size() == 1 && (filters.first() == "FlateDecode" || filters.first() == "Fl")) {
            if (!inflateInto(data.constData() + body, end - body, content, room)) {
                return std::nullopt;
            }
        } else {
            static const QList<QByteArray> pictures{"DCTDecode",      "DCT", "JPXDecode",
                                                    "CCITTFaxDecode", "CCF", "JBIG2Decode"};
            if (pictures.contains(filters.last())) {
                continue;
            }
            return std::nullopt;
        }
        read += content.size();
        tally.read(content);
        if (tally.over()) {
            break;
        }
    }
    // A form may be drawn by every drawing of a form, each of which may draw all of it again.
    const double repeats = forms == 0 ? 1.0 : std::min(std::pow(1.0 + tally.forms(), forms), 1e15);
    return Pdf{tally.segments() * repeats, tally.dashes() * repeats};
}

bool VectorDrawingCost::pdfWithinBound(const QByteArray& data) {
    const auto cost = measurePdf(data);
    return cost && cost->segments <= maxPdfSegments && cost->dashes <= maxPdfDashes;
}

} // namespace velmora::images
