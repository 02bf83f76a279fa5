#pragma once

#include <benchmark/benchmark.h>

namespace velmora::bench {

// The body of every benchmark program's main() once its Qt application exists: runs the
// benchmarks the command line names (all by default). With `rejectUnrecognized`, an
// argument that is not the library's own ends the program with 1 before anything runs.
inline int runBenchmarks(int& argc, char** argv, bool rejectUnrecognized = false) {
    benchmark::Initialize(&argc, argv);
    if (rejectUnrecognized && benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

} // namespace velmora::bench
