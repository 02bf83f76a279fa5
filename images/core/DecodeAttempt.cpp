#include "images/core/DecodeAttempt.h"

namespace velmora::images {

namespace {

thread_local DecodeAttempt* innermost = nullptr;

} // namespace

DecodeAttempt::DecodeAttempt(int quickDrawingMs) : m_quickDrawingMs(quickDrawingMs), m_outer(innermost) {
    innermost = this;
}

DecodeAttempt::~DecodeAttempt() {
    innermost = m_outer;
}

int DecodeAttempt::quickDrawingMs() {
    // An inner attempt without a limit of its own keeps the one it runs under.
    for (const DecodeAttempt* attempt = innermost; attempt; attempt = attempt->m_outer) {
        if (attempt->m_quickDrawingMs > 0) {
            return attempt->m_quickDrawingMs;
        }
    }
    return 0;
}

void DecodeAttempt::noteGaveUpAtQuickLimit() {
    for (DecodeAttempt* attempt = innermost; attempt; attempt = attempt->m_outer) {
        attempt->m_gaveUp = true;
    }
}

void DecodeAttempt::noteNoDrawing() {
    for (DecodeAttempt* attempt = innermost; attempt; attempt = attempt->m_outer) {
        attempt->m_noDrawing = true;
    }
}

void DecodeAttempt::noteOverBudget() {
    for (DecodeAttempt* attempt = innermost; attempt; attempt = attempt->m_outer) {
        attempt->m_overBudget = true;
    }
}

void DecodeAttempt::noteDrawingEnded() {
    for (DecodeAttempt* attempt = innermost; attempt; attempt = attempt->m_outer) {
        attempt->m_drawingEnded = true;
    }
}

} // namespace velmora::images
