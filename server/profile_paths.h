#pragma once

#include <string>

#include "server/options.h"

namespace server {

// One folder holds everything the server knows about its user, each part replaced whole by the run that
// changes it (see server/adaptation/profile_swap.h):
//   voice      the adapted acoustic model (--adapt), a link to its current version voice.vN
//   words.txt  the user's own words
//   language   the language learnt from the user's writing (--learn-text), a link to language.vN

// $XDG_DATA_HOME/dictate (an absolute XDG_DATA_HOME only), else ~/.local/share/dictate; empty when neither
// variable is set.
std::string default_profile_dir();

// The profile the options name: --profile, else the default one; empty with --no-profile or when there
// is no default.
std::string profile_dir(const Options& options);

// The voice profile to decode with or to write: --voice, else the profile's `voice`.
std::string profile_voice_dir(const Options& options);

// The profile's word list, used unless --words names another, or empty when there is no profile.
std::string profile_words_file(const Options& options);

// The profile's learnt language folder, or empty when there is no profile.
std::string profile_language_dir(const Options& options);

}  // namespace server
