#include "server/adaptation/word_errors.h"

#include <algorithm>

namespace server {

std::size_t word_errors(const std::vector<std::string>& reference,
                        const std::vector<std::string>& hypothesis) {
    // One row of the edit-distance table at a time.
    std::vector<std::size_t> row(hypothesis.size() + 1);
    for (std::size_t j = 0; j < row.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= reference.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= hypothesis.size(); ++j) {
            const std::size_t substituted = diagonal + (reference[i - 1] == hypothesis[j - 1] ? 0 : 1);
            diagonal = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, substituted});
        }
    }
    return row.back();
}

}  // namespace server
