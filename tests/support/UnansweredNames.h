#pragma once

namespace velmora::test {

// Names whose look-up never answers, as behind a DNS server that has gone silent: every look-up
// of a name under ".unanswered.test" made in this process (by any library, on any thread) blocks
// until `releaseAll`, then fails. Other names are looked up as usual. A test that uses it holds an
// instance; its destruction releases the look-ups still waiting.
// (Names that end in ".here.test" always answer 127.0.0.1: this machine under a name that no
// proxy rule takes for this machine.)
class UnansweredNames {
public:
    UnansweredNames();
    ~UnansweredNames();
    UnansweredNames(const UnansweredNames&) = delete;
    UnansweredNames& operator=(const UnansweredNames&) = delete;

    // Look-ups blocked now.
    static int waiting();
    // Lets every blocked look-up (and every later one) fail at once.
    static void releaseAll();
};

} // namespace velmora::test
