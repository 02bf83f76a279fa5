#pragma once

#include "images/coders/vector-render/VectorRenderProtocol.h"

#include <QByteArray>

#include <memory>

class QSvgRenderer;

namespace velmora::images {

// Reads and draws the SVG documents the drawing process is asked for: the document from outside
// goes through SvgDocumentFilter here, and QtSvg reads only what the filter writes. Neither asks
// whether to go on, so the process's own timers stop what runs past the budget (see main.cpp).
// The last document stays read, as its canvas and then its drawing are asked for one after the
// other.
class SvgDocumentRenderer {
public:
    SvgDocumentRenderer();
    ~SvgDocumentRenderer();
    SvgDocumentRenderer(const SvgDocumentRenderer&) = delete;
    SvgDocumentRenderer& operator=(const SvgDocumentRenderer&) = delete;

    VectorRenderProtocol::Answer answer(const VectorRenderProtocol::Request& request);

private:
    QByteArray m_data;
    std::unique_ptr<QSvgRenderer> m_renderer;
};

} // namespace velmora::images
