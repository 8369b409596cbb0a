#pragma once

#include <string>
#include <vector>

namespace server {

// A voice profile is a folder laid out like the stock model folder, so the recogniser loads it as one (named
// by a link to its current version, see profile_swap.h, or a plain folder):
//   en-us/en-us/            the acoustic model: adapted files, and links to the stock ones left as they are
//   en-us/en-us.lm.bin      link to the stock language model
//   en-us/cmudict-en-us.dict link to the stock dictionary
//   profile.txt             how it was made and the word error figures that justified it
//   takes.txt               the takes it was adapted on, one name a line

// The default profile folder: $XDG_DATA_HOME/dictate/voice, else ~/.local/share/dictate/voice; empty when
// neither variable is set.
std::string default_voice_dir();

// `voice_dir` absolute and without a trailing separator: the name the files beside a profile are named
// after (`NAME.lock`, `NAME.work`, `NAME.vN`).
std::string voice_profile_name(const std::string& voice_dir);

// Whether `dir` holds a profile the recogniser can load (its acoustic model's means are there).
bool is_voice_profile(const std::string& dir);

// Fills `stage_dir` (created, must not exist) with links to every stock model file the profile does not
// replace. Throws std::runtime_error naming the path and the reason on failure.
void stage_voice_profile(const std::string& stage_dir, const std::string& stock_model_dir);

// The acoustic model folder inside a profile or model folder.
std::string acoustic_model_dir(const std::string& model_dir);

}  // namespace server
