#pragma once

#include <QList>
#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace velmora::test {

// Collects the log lines written while it exists (from any thread).
class LogCapture {
public:
    LogCapture() {
        instance() = this;
        m_previous = qInstallMessageHandler(&LogCapture::handle);
    }
    ~LogCapture() {
        qInstallMessageHandler(m_previous);
        instance() = nullptr;
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QStringList lines() const {
        QMutexLocker lock(&m_mutex);
        return m_lines;
    }
    bool contains(const QString& text) const {
        const auto all = lines();
        for (const auto& line : all) {
            if (line.contains(text)) {
                return true;
            }
        }
        return false;
    }

private:
    static LogCapture*& instance() {
        static LogCapture* current = nullptr;
        return current;
    }
    static void handle(QtMsgType, const QMessageLogContext& context, const QString& message) {
        if (LogCapture* self = instance()) {
            QMutexLocker lock(&self->m_mutex);
            self->m_lines.append(QString::fromUtf8(context.category ? context.category : "") +
                                 QLatin1Char(' ') + message);
        }
    }

    mutable QMutex m_mutex;
    QStringList m_lines;
    QtMessageHandler m_previous = nullptr;
};

} // namespace velmora::test
