#pragma once

namespace velmora::images {

// How an off-screen renderer makes its bitmap: pixels per point and whether it is opaque.
struct GraphicsImageRendererFormat {
    // The primary screen's device pixel ratio, 1 without a screen; not opaque.
    GraphicsImageRendererFormat();
    static GraphicsImageRendererFormat preferredFormat() { return GraphicsImageRendererFormat(); }

    double scale = 1.0;
    bool opaque = false;
    // Kept for callers; nothing here reads it.
    int preferredRange = 0;
};

} // namespace velmora::images
