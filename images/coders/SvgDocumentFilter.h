#pragma once

#include "images/coders/VectorDrawingCost.h"
#include "platform/richtext/OutsideName.h"

#include <QByteArray>
#include <QtGlobal>

namespace velmora::images {

// QtSvg opens whatever an `<image>` names (a path, a `file:` URL, a fragment read as a file name,
// a FIFO that never answers, a device that never ends) and decodes embedded images with every plugin it has,
// its own SVG reader among them. A document from outside therefore reaches it only through this filter, which
// writes the document anew with nothing in it that points outside its own bytes:
// - a link (`href` under any prefix) stays only when it names a part of the same document
//   ("#id"), except on an `<image>`, which QtSvg opens as a file whatever it names: there only
//   an embedded PNG or JPEG (a `data:` URI) stays, decoded by our own coder within the pixel
//   budget and written again as a plain PNG;
// - CSS (a `<style>` element's text, any attribute) stays only without `@import`, escapes or a
//   `url()` other than "url(#id)", judged whole: a style element's text is joined over the
//   comments, CDATA sections and elements that split it, and read with and without its CSS
//   comments;
// - a document type with an internal subset (entities, default attributes) refuses the document,
//   so nothing is ever expanded; one without goes, as do processing instructions (style
//   sheets), comments and unresolved entity references.
// What it writes is bounded too, as it is written, since QtSvg's cost follows it: at most
// maxElements elements (a document with more is refused), and text as names are bounded. What
// reading and drawing cost beyond that is bounded by the drawing process it runs in, which
// stops both at its budget (see VectorRenderProtocol).
class SvgDocumentFilter {
public:
    // The filtered document as UTF-8 XML; empty when the data is not a well-formed XML document
    // (compressed data, which QtSvg would inflate unseen, is not).
    static QByteArray withoutExternalReferences(const QByteArray& data);

    // Elements a document may hold, counted as the filter reads them (those it leaves out too).
    static constexpr qsizetype maxElements = VectorDrawingCost::maxSvgElements;
    // Embedded images beyond this count are dropped: each costs a decode and an encode.
    static constexpr int maxEmbeddedImages = 8;
    // An embedded image that declares more pixels than this (or than the pixel budget) is
    // dropped before a pixel is decoded: it is drawn into an avatar, not shown whole.
    static constexpr quint64 maxEmbeddedImagePixels = 2048 * 2048;
    // An embedded image is kept at most this many pixels a side.
    static constexpr int maxEmbeddedImageSide = 1024;
    // Code units of text a document keeps, over all its elements, ten names' worth; each letter
    // keeps at most plainMarksPerLetter combining marks, counted across whatever splits the text.
    static constexpr qsizetype maxTextLength = 10 * plainNameLength;
};

} // namespace velmora::images
