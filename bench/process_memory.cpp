#include "bench/process_memory.h"

#include <fstream>
#include <string>

namespace bench {

namespace {
std::optional<std::size_t> status_field(const std::string& name) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, name.size(), name) == 0 && line.size() > name.size() &&
            line[name.size()] == ':') {
            return std::stoull(line.substr(name.size() + 1)) * 1024;  // the kernel prints kB
        }
    }
    return std::nullopt;
}
}  // namespace

std::optional<std::size_t> resident_bytes() { return status_field("VmRSS"); }

std::optional<std::size_t> peak_resident_bytes() { return status_field("VmHWM"); }

bool reset_peak_resident() {
    std::ofstream clear_refs("/proc/self/clear_refs");
    clear_refs << "5" << std::flush;
    return static_cast<bool>(clear_refs);
}

}  // namespace bench
