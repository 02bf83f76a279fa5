#pragma once

#include "images/coders/vector-render/VectorRenderProtocol.h"

// What a renderer taken over by a hostile document does, in a build of the drawing program for the
// tests alone (never installed): the real program, confined as it always is, which once it has
// drawn a document makes the move named by the name it was started under (a link to it):
//   threads        after each answer, starts as many threads as it can for two seconds, taking
//                  again each slot that comes free (small stacks, each thread asleep);
//   spin           after its answer, burns its CPU for ever;
//   read-swapped   before each answer, opens by name the font file and the font cache file the
//                  tests put in the home (velmora-swapped.ttf in the user's fonts, and
//                  velmora-swapped.cache-8 in the user's font cache) and reads them; the answer's
//                  page is wider by one point for each that held the tests' secret, and taller by
//                  one for each it could open.
// Any other name: no move.
namespace velmora::images::testing {

class HostileMoves {
public:
    HostileMoves() = delete;

    // The move the program's name `argv0` says.
    static void choose(const char* argv0);
    static void beforeAnswer(VectorRenderProtocol::Answer& answer);
    static void afterAnswer();

    // What the secrets the tests put in the home begin with.
    static constexpr const char* secret = "not for a drawing";
};

} // namespace velmora::images::testing
