#pragma once

#include <optional>
#include <string>

#include "server/options.h"

namespace server {

// `dictate-server --adapt ...`: adapts the profile in --voice (default: the user's own), printing progress
// and the before/after figures through say(). Returns the exit status: 0 when adaptation ran (whether or
// not it kept a new profile), 1 when it could not.
int run_adaptation_command(const Options& options);

// The model folder the recogniser should load: `options.model_dir` with --no-profile, else the --voice
// profile, else the user's own profile when the stock model is in use and there is one, else
// `options.model_dir`. A profile's name is resolved (see find_voice_profile). Says which profile is used.
// Returns nothing, having said why, when --voice names a folder that holds no profile.
std::optional<std::string> model_dir_with_voice(const Options& options, const std::string& default_model_dir);

}  // namespace server
