#pragma once

#include <string>

// An audio-library call that failed, worded for a person: which call, and why.
struct AudioFailure {
    std::string call;    // e.g. "Pa_OpenDefaultStream"
    std::string reason;  // the library's error text, with the host API's own text when it has one
};
