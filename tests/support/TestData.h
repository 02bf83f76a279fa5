#pragma once

#include <QFile>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <utility>
#include <vector>

namespace velmora::test {

// The path of `relative` in the tests' data (tests/data).
inline QString testDataPath(const QString& relative) {
    return QStringLiteral(VELMORA_TEST_DATA "/") + relative;
}

// The whole text of a file of the tests' data, as UTF-8; empty when it cannot be read.
inline QString testData(const QString& relative) {
    QFile file(testDataPath(relative));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// The named texts of a file of the tests' data: one a line, its name, a tab and the text, lines
// starting with "#" left out.
inline std::vector<std::pair<QString, QString>> namedTestData(const QString& relative) {
    std::vector<std::pair<QString, QString>> named;
    for (const QString& line : testData(relative).split(u'\n')) {
        const qsizetype tab = line.indexOf(u'\t');
        if (line.startsWith(u'#') || tab <= 0) {
            continue;
        }
        named.emplace_back(line.left(tab), line.mid(tab + 1));
    }
    return named;
}

// The text named `name` in a file of named texts (see namedTestData); empty where none is.
inline QString namedTestText(const QString& relative, const QString& name) {
    const auto named = namedTestData(relative);
    const auto found =
        std::find_if(named.begin(), named.end(), [&](const auto& one) { return one.first == name; });
    return found == named.end() ? QString() : found->second;
}

} // namespace velmora::test
