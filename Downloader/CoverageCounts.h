// A build instrumented for coverage (scripts/coverage) writes what a run executed as the process exits; a
// process that ends itself at once (TerminateProcess, abort) skips that, so it writes the counts first.
// Nothing in any other build.
#pragma once

#ifdef TESSALINE_COVERAGE
extern "C" void __gcov_dump(void);
inline void WriteCoverageCounts() noexcept { __gcov_dump(); }
#else
inline void WriteCoverageCounts() noexcept {}
#endif
