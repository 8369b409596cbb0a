#pragma once

#include <string>

// Makes descriptors 0, 1 and 2 valid before anything else opens a file: one that was closed when the
// program started (`dictate <&-`, `2>&-`) is opened on the null device. Otherwise the next file or pipe the
// program opens would get that number, and it would read its keys from its own interrupt pipe or write the
// dialogue into a take. Standard input opened on the null device reads as at its end, so a closed standard
// input ends input as Ctrl-D does. Returns what could not be done, empty on success.
//
// Main thread, first thing in main(), before any other thread exists.
std::string make_standard_streams_valid();
