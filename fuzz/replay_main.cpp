// Runs a fuzz target over saved inputs without the fuzzing engine, so that the committed seeds and every
// input that once crashed stay regular tests in any build (including the sanitizer build, with gcc).
//
// Usage: replay PATH...  where each PATH is an input file or a folder of them. Exits 0 when every input
// ran through; a failing input ends the process the way it would under the fuzzer (trap, abort, sanitizer
// report). A path that cannot be read is an error, so a missing corpus cannot pass silently.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool replay_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
        return false;
    }
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::fprintf(stderr, "replay: %s (%zu bytes)\n", path.c_str(), bytes.size());
    // A copy of exactly the input's length, so an overread past the end is caught by the sanitizer.
    std::vector<std::uint8_t> exact(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(exact.data(), exact.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t inputs = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path = argv[i];
        std::error_code error;
        if (std::filesystem::is_directory(path, error)) {
            for (const auto& entry : std::filesystem::directory_iterator(path)) {
                if (!entry.is_regular_file()) continue;
                if (!replay_file(entry.path())) return 1;
                ++inputs;
            }
        } else {
            if (!replay_file(path)) return 1;
            ++inputs;
        }
    }
    if (inputs == 0) {
        std::fprintf(stderr, "replay: no inputs found\n");
        return 1;
    }
    std::fprintf(stderr, "replay: %zu inputs ran through\n", inputs);
    return 0;
}
