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
//                  one for each it could open;
//   probe          before each answer, tries what takes a share of the machine or looks at other
//                  processes, and answers what it could (see Probed);
//   hoard          before each answer, takes as much memory as it is given (1 MiB at a time, each
//                  page written, kept), up to hoardMostMiB; the answer's page is one point wider
//                  than the MiB it holds, and as high as its process id;
//   spin-when-continued  after its answer, stops itself as a drawing process does, and burns its
//                  CPU for ever once anything continues it;
//   spin-to-deadline     while it draws, ignores its budget's alarm and burns its CPU on both its
//                  threads until it is ended.
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

    // What the probe could do, as bits of its answer's page width less one: each is one a copy is
    // refused.
    enum Probed : int {
        OutOfBandByte = 1 << 0,          // send MSG_OOB on its socket
        UnusedSocketFlags = 1 << 1,      // send or receive with flags the protocol never passes
        OtherProcessCpuClock = 1 << 2,   // read the app's CPU clock
        OtherProcessScheduling = 1 << 3, // ask the app's scheduling (whether a pid is there)
        LockedMapping = 1 << 4,          // map memory locked (MAP_LOCKED)
        SharedAnonymousMapping = 1 << 5, // map anonymous memory shared (beyond its data limit)
    };
    // And how many timers it made and signals it queued to itself, of probeMost of each tried:
    // its page height is 1 + timers * 1000 + signals.
    static constexpr int probeMost = 64;
    // The most memory the hoard takes (what the tests' share of copies holds far less of).
    static constexpr int hoardMostMiB = 192;
};

} // namespace velmora::images::testing
