// Names from outside (tasks, projects, people) through plainName, as every row, label and
// title shows them: one bounded line, no character that hides or reorders the text around it
// but the joiners where they join and the tags of a region's flag, never blank when its first
// stretch holds something to show, and the same when bounded again.
#include "FuzzSupport.h"

#include "platform/richtext/OutsideName.h"

#include <QList>
#include <QString>

#include <cstdlib>

namespace {

bool isLetterOfAscii(char32_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

bool isBreak(char32_t c) {
    return c == u'\t' || c == u'\n' || c == 0x0B || c == 0x0C || c == u'\r' || c == 0x85 || c == 0x2028 ||
           c == 0x2029;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString name = QString::fromUtf8(velmora::fuzz::bytes(data, size));
    for (const qsizetype maxLength : {velmora::plainNameLength, qsizetype(12)}) {
        const QString plain = velmora::plainName(name, maxLength);
        if (plain.size() > maxLength) {
            std::abort();
        }
        const QList<uint> shown = plain.toUcs4();
        for (qsizetype i = 0; i < shown.size(); ++i) {
            const char32_t c = shown[i];
            if (isBreak(c)) {
                std::abort();
            }
            // The joiners, and the Mongolian vowel separator, where they shape the word.
            const bool joiner = c == 0x200C || c == 0x200D || c == 0x180E;
            const bool tag = c >= 0xE0020 && c <= 0xE007F;
            if (velmora::isHiddenInName(c) && !joiner && !tag) {
                std::abort();
            }
            // A joiner between two Latin letters joins nothing ("pay" U+200D "pal").
            if (joiner && i > 0 && i + 1 < shown.size() && isLetterOfAscii(shown[i - 1]) &&
                isLetterOfAscii(shown[i + 1])) {
                std::abort();
            }
        }
        // Something to show in what is looked at is never shown as nothing.
        bool visible = false;
        for (const uint c : name.left(maxLength * 4).toUcs4()) {
            visible = visible || (!isBreak(c) && !velmora::isHiddenInName(c));
        }
        if (visible && plain.isEmpty()) {
            std::abort();
        }
        if (velmora::plainName(plain, maxLength) != plain) {
            std::abort();
        }
    }
    return 0;
}
