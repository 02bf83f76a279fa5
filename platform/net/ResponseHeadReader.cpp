#include "platform/net/ResponseHeadReader.h"

#include <optional>

namespace velmora {

namespace {

bool isTokenChar(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
        return true;
    }
    switch (c) {
    case '!':
    case '#':
    case '$':
    case '%':
    case '&':
    case '\'':
    case '*':
    case '+':
    case '-':
    case '.':
    case '^':
    case '_':
    case '`':
    case '|':
    case '~':
        return true;
    default:
        return false;
    }
}

QByteArrayView withoutLineEnd(QByteArrayView line) {
    while (!line.isEmpty() && (line.back() == '\n' || line.back() == '\r')) {
        line.chop(1);
    }
    return line;
}

} // namespace

bool ResponseHeadReader::hasOneLength() const {
    // Two lengths frame the body two ways, and a box between may have read it the other way:
    // the same length repeated (in headers of its own or a list) is one, two that differ none.
    std::optional<QByteArray> length;
    for (const auto& [name, value] : m_headers) {
        if (name.compare("Content-Length", Qt::CaseInsensitive) != 0) {
            continue;
        }
        for (const QByteArray& item : value.split(',')) {
            const QByteArray trimmed = item.trimmed();
            if (length && *length != trimmed) {
                return false;
            }
            length = trimmed;
        }
    }
    return true;
}

ResponseHeadReader::Step ResponseHeadReader::addLine(QByteArrayView line) {
    if (m_finished) {
        return Step::Malformed;
    }
    m_bytes += line.size();
    if (m_bytes > m_limits.maximumBytes || ++m_lines > m_limits.maximumLines) {
        m_finished = true;
        return Step::TooLarge;
    }
    const QByteArrayView text = withoutLineEnd(line);
    if (!m_inHead) {
        // "HTTP/1.1 200 Reason" or "HTTP/2 200": the version, a space, three digits.
        if (!text.startsWith("HTTP/")) {
            m_finished = true;
            return Step::Malformed;
        }
        const qsizetype space = text.indexOf(' ');
        if (space < 0 || text.size() < space + 4) {
            m_finished = true;
            return Step::Malformed;
        }
        const QByteArrayView digits = text.sliced(space + 1, 3);
        int status = 0;
        for (const char c : digits) {
            if (c < '0' || c > '9') {
                m_finished = true;
                return Step::Malformed;
            }
            status = status * 10 + (c - '0');
        }
        if (status < 100 || (text.size() > space + 4 && text.at(space + 4) != ' ')) {
            m_finished = true;
            return Step::Malformed;
        }
        m_version = text.first(space).toByteArray();
        m_status = status;
        m_headers.clear();
        m_inHead = true;
        return Step::More;
    }
    if (text.isEmpty()) {
        m_inHead = false;
        // 101 switches protocols, which no transfer here asks for: it is no interim answer.
        if (m_status >= 100 && m_status < 200 && m_status != 101) {
            return Step::InterimDone;
        }
        m_finished = true;
        return hasOneLength() ? Step::Done : Step::Malformed;
    }
    if (text.front() == ' ' || text.front() == '\t') {
        // An old-style continuation of the previous header's value.
        if (!m_headers.empty()) {
            m_headers.back().second += ' ' + text.trimmed().toByteArray();
        }
        return Step::More;
    }
    const qsizetype colon = text.indexOf(':');
    if (colon <= 0) {
        return Step::More; // no header: passed over, as browsers do
    }
    const QByteArrayView name = text.first(colon);
    for (const char c : name) {
        if (!isTokenChar(c)) {
            return Step::More;
        }
    }
    m_headers.emplace_back(name.toByteArray(), text.sliced(colon + 1).trimmed().toByteArray());
    return Step::More;
}

} // namespace velmora
