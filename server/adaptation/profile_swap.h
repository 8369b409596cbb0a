#pragma once

#include <functional>
#include <string>

namespace server {

// How a voice profile (voice_profile.h) is replaced so that no kill or power cut can lose it. One adaptation
// at a time changes a profile (ProfileLock); readers take no lock.

// The folder to load the profile named `voice_dir` from, or empty when there is none. The name is resolved
// (see replace_voice_profile), so a profile swapped in while a recogniser loads can't mix two profiles'
// files. A swap that a kill cut short is finished first, or undone where it can't be (see
// replace_voice_profile): a reader finds the old profile or the new one, never neither.
std::string find_voice_profile(const std::string& voice_dir);

// Puts the staged profile in place of `voice_dir` so that a kill or a power cut at any instant leaves the old
// profile or the new one there, whole. The staged folder becomes `VOICE_DIR.vN` (the next free N, synced to
// disk), and `VOICE_DIR` a symbolic link to it, made as `VOICE_DIR.new` and renamed over the old link in one
// step. A plain profile folder from before (or a first profile: none) is exchanged with the link in one
// step too; where the file system can't exchange two names, the folder is renamed to `VOICE_DIR.old` first
// and find_voice_profile finishes the swap if it is cut short between the two renames. The version the old
// link named is kept until the next adaptation (a server may be loading it), older ones are removed.
// `VOICE_DIR`'s parents are created if missing. `before_step`, when given, is called before each change on
// disk with its name, so that a test can stop the swap there; `exchange` false stands for a file system
// without the exchange. Throws std::runtime_error naming the path and the reason on failure.
void replace_voice_profile(const std::string& stage_dir, const std::string& voice_dir,
                           const std::function<void(const char* step)>& before_step = {},
                           bool exchange = true);

// Before an adaptation writes anything (under its ProfileLock): finishes or undoes a swap cut short, then
// removes what earlier runs left beside the profile (`VOICE_DIR.new`, `.old`, versions no longer named).
void tidy_voice_profile(const std::string& voice_dir);

// The same for any other part of a profile replaced the same way (the learnt language): `is_whole` says
// whether a folder holds a whole part, as is_voice_profile does for a voice.
using WholePart = std::function<bool(const std::string& dir)>;
std::string find_profile_part(const std::string& part_dir, const WholePart& is_whole);
void tidy_profile_part(const std::string& part_dir, const WholePart& is_whole);

}  // namespace server
