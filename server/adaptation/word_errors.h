#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace server {

// The fewest word substitutions, insertions and deletions that turn `reference` into `hypothesis`.
std::size_t word_errors(const std::vector<std::string>& reference,
                        const std::vector<std::string>& hypothesis);

}  // namespace server
