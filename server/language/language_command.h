#pragma once

#include <optional>
#include <string>

#include "server/options.h"
#include "server/recognition/learnt_language.h"

namespace server {

// dictate-server --learn-text PATH...: learns the profile's language from the person's writing
// (language_learning.h) and says what it read, skipped and found, both perplexities and the weight.
// Returns the exit status: 0 when it ran to the end (kept or not), 1 on a failure, told in one line.
int run_learn_text_command(const Options& options);

// The learnt language the server searches with: the profile's, unless --no-profile. Says which it uses,
// or that one is there but unusable (then none). Never throws.
LearntLanguage learnt_language_for(const Options& options);

}  // namespace server
