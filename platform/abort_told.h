#pragma once

#include <string>

// While alive, an abort() in this process (an assertion that fails inside a library, which would end the
// program with SIGABRT and not a word of ours) writes `line` and a line end on standard error, as it was when
// the guard was made, and ends the process at once with `status`. Nothing else runs: no destructor, no
// buffered output is flushed, so the caller holds it only around calls that have nothing of the person's in
// flight. The handler before it comes back when the guard goes.
//
// Main thread, one guard at a time. On Windows it does nothing: the libraries there report, not assert.
class AbortTold {
public:
    AbortTold(std::string line, int status);
    ~AbortTold();
    AbortTold(const AbortTold&) = delete;
    AbortTold& operator=(const AbortTold&) = delete;

private:
    std::string line_;
    bool armed_ = false;
};
