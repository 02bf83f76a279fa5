#pragma once

#include "images/coders/vector-render/VectorRenderProtocol.h"

// What a build of the drawing program for the tests links in (never the installed program): the
// moves of a renderer taken over by a hostile document, made at the points a real one could make
// them. The installed program declares these only; it neither defines nor calls them.
namespace velmora::images::drawingmoves {

// The move the name the program was started under (`argv0`) asks for.
void choose(const char* argv0);
// Right before an answer is written.
void beforeAnswer(VectorRenderProtocol::Answer& answer);
// Right after an answer was written.
void afterAnswer();

} // namespace velmora::images::drawingmoves
