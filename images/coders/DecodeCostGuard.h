#pragma once

#include <QByteArray>
#include <QIODevice>

namespace velmora::images {

// Bounds on what one still decode through Qt's plugins may cost: checked on the bytes before a
// plugin sees them, the number of scans of a JPEG and how far a PNG's compressed data inflates
// beyond the rows its header declares; while the plugin reads, the CPU time the decode spends.
class DecodeCostGuard {
public:
    DecodeCostGuard() = delete;

    // Scans one JPEG may hold; encoders write about ten for a progressive image.
    static constexpr int maxJpegScans = 100;
    // The JPEG cut after its last allowed scan and ended there; unchanged when it has no more
    // scans than that (or is no JPEG).
    static QByteArray withinJpegScanLimit(const QByteArray& data);
    // How many scans the JPEG holds, counting no further than `stopAfter`.
    static int jpegScanCount(const QByteArray& data, int stopAfter);

    // Whether the PNG's image data inflates to clearly more than its declared rows need: a
    // decoder that inflates it whole would work on data no row ever shows. Only data that could
    // cost more than the check is inflated: a stream that even at deflate's most can't pass
    // the rows, or one of under 64 KB (at most some 66 MB, well within a decode's CPU time),
    // counts as not passing them. Inflating stops as soon as the answer is known, so the check
    // costs no more than the rows themselves.
    static bool pngInflatesBeyondItsRows(const QByteArray& data);

    // Seconds of CPU one decode may take; settable for tests (0 restores the default).
    static double decodeCpuBudget();
    static void setDecodeCpuBudget(double seconds);
    // CPU seconds the calling thread has used.
    static double threadCpuSeconds();

    // The bytes of one decode, read by a plugin: once the reading thread has spent the decode's
    // CPU budget since the buffer was made, the data ends, and a plugin that still wants more
    // gives up or shows what it has.
    class BudgetedBuffer : public QIODevice {
    public:
        explicit BudgetedBuffer(QByteArray data);
        bool budgetSpent() const;
        qint64 size() const override { return m_data.size(); }

    protected:
        qint64 readData(char* data, qint64 maxSize) override;
        qint64 writeData(const char*, qint64) override { return -1; }

    private:
        QByteArray m_data;
        double m_start = 0;
        double m_startWall = 0;
        double m_budget = 0;
    };
};

} // namespace velmora::images
