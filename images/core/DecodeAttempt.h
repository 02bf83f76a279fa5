#pragma once

namespace velmora::images {

// What became of the drawings one decode asked for on this thread. A coder answers with an
// image or none; "none" may mean the document is bad, that it ran out of its own budget, that its
// drawing ended its drawing process (it ran to its deadline or the kernel's CPU limit, crashed,
// or answered what was refused), or only that no drawing could be made for it now (none could
// start in time, the library is being torn down), which says nothing about the document. A
// drawing a busy machine ended (at its wall time, its CPU time unspent) is noted as both. The
// code that draws notes which; the code that decodes reads it back here.
//
// An attempt may also bound each drawing it makes: one that has not answered within the limit is
// given up, so a decode tried in the quick lane leaves it in time and is tried again elsewhere.
class DecodeAttempt {
public:
    // `quickDrawingMs` bounds each drawing from its request to its answer; 0 leaves them their
    // own deadline. Attempts nest: the innermost one on the thread is noted.
    explicit DecodeAttempt(int quickDrawingMs = 0);
    ~DecodeAttempt();
    DecodeAttempt(const DecodeAttempt&) = delete;
    DecodeAttempt& operator=(const DecodeAttempt&) = delete;

    // A drawing was given up at the quick limit: the document may be costly, not bad.
    bool gaveUpAtQuickLimit() const { return m_gaveUp; }
    // A drawing failed for want of a drawing process, not through the document.
    bool hadNoDrawing() const { return m_noDrawing; }
    // A drawing ran out of the document's own budget.
    bool ranOutOfBudget() const { return m_overBudget; }
    // A drawing ended its drawing process: tried again only after a growing delay.
    bool drawingEnded() const { return m_drawingEnded; }

    // The quick limit of the innermost attempt on this thread; 0 when there is none.
    static int quickDrawingMs();
    static void noteGaveUpAtQuickLimit();
    static void noteNoDrawing();
    static void noteOverBudget();
    static void noteDrawingEnded();

private:
    int m_quickDrawingMs = 0;
    bool m_gaveUp = false;
    bool m_noDrawing = false;
    bool m_overBudget = false;
    bool m_drawingEnded = false;
    DecodeAttempt* m_outer = nullptr;
};

} // namespace velmora::images
