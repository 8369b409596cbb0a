// This process's resident memory as the kernel counts it (/proc/self/status), for peak-memory figures.
#pragma once

#include <cstddef>
#include <optional>

namespace bench {

// VmRSS: bytes resident now. Nothing when /proc cannot be read.
std::optional<std::size_t> resident_bytes();

// VmHWM: the most bytes resident at any moment since the process started or the peak was last reset.
std::optional<std::size_t> peak_resident_bytes();

// Lowers the peak to what is resident now (writes "5" to /proc/self/clear_refs), so a later
// peak_resident_bytes() covers only what happened in between. False when the kernel does not allow it; the
// peak then still counts from the start of the process.
bool reset_peak_resident();

}  // namespace bench
