#pragma once

#include "images/coders/vector-render/VectorRenderProtocol.h"

#include <QByteArray>

#include <memory>

namespace Poppler {
class Document;
}

namespace velmora::images {

// Draws the pages the drawing process is asked for, through Poppler, whose renderer asks between
// drawing operators whether to go on: a drawing is stopped once it has used its budget of CPU
// (or wall) time. The last document stays loaded, as a page's size and then its drawing are
// asked for one after the other.
class PdfPageRenderer {
public:
    PdfPageRenderer();
    ~PdfPageRenderer();
    PdfPageRenderer(const PdfPageRenderer&) = delete;
    PdfPageRenderer& operator=(const PdfPageRenderer&) = delete;

    VectorRenderProtocol::Answer answer(const VectorRenderProtocol::Request& request);

private:
    std::unique_ptr<Poppler::Document> m_keeper;
    QByteArray m_data;
    std::unique_ptr<Poppler::Document> m_document;
};

} // namespace velmora::images
