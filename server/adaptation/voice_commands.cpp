#include "server/adaptation/voice_commands.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <system_error>

#include "server/adaptation/adaptation.h"
#include "server/messages.h"
#include "server/profile_paths.h"
#include "server/adaptation/profile_swap.h"
#include "server/adaptation/voice_profile.h"

namespace server {
namespace {

std::string percent(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %%", value);
    return text;
}

}  // namespace

int run_adaptation_command(const Options& options) {
    const std::string voice_dir = profile_voice_dir(options);
    if (voice_dir.empty()) {
        say("cannot adapt: no --profile or --voice folder given and neither XDG_DATA_HOME nor HOME is set");
        return 1;
    }
    const auto began = std::chrono::steady_clock::now();
    try {
        const AdaptationResult result =
            adapt_voice({options.adapt_dirs, voice_dir, options.model_dir},
                        [](const std::string& step) { say("adapting: " + step); });
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        char summary[160];
        std::snprintf(
            summary, sizeof summary,
            "adapted on %zu takes (%.0f s of speech) in %.0f s; %zu held back (%.0f s, %zu words) to "
            "judge by%s",
            result.pairs_used, result.adapted_seconds, seconds, result.pairs_held_back,
            result.held_back_seconds, result.held_back_words,
            result.enough_held_back ? "" : ", too few alone: MAP must make a fifth fewer errors");
        say(summary);
        if (!result.unknown_words.empty()) {
            std::string names;
            for (const auto& skipped : result.unknown_words) names += (names.empty() ? "" : ", ") + skipped;
            say("skipped " + std::to_string(result.unknown_words.size()) +
                " takes with words not in the dictionary: " + names);
        }
        std::string figures = "word error on the held-back takes: " + result.before.model + " " +
                              percent(result.before.word_error);
        for (const auto& figure : result.adapted)
            figures += ", " + figure.model + " " + percent(figure.word_error);
        say(figures);
        const bool won_too_little =
            !result.adapted.empty() && result.adapted.back().errors < result.before.errors;
        const std::string unchanged = "the voice profile in " + voice_dir + " is unchanged";
        if (result.kept.empty() && won_too_little) {
            say("the MAP model did better, but not by the fifth so few held-back words need; " + unchanged);
        } else if (result.kept.empty()) {
            say("no adapted model did better; " + unchanged);
        } else {
            say("kept the " + result.kept + " model as the voice profile in " + voice_dir + ": word error " +
                percent(result.before.word_error) + " -> " + percent(result.kept_word_error));
        }
        return 0;
    } catch (const std::exception& failure) {
        say(std::string("cannot adapt the voice profile in ") + voice_dir + ": " + failure.what());
        return 1;
    }
}

std::optional<std::string> model_dir_with_voice(const Options& options,
                                                const std::string& default_model_dir) {
    if (options.no_profile) return options.model_dir;
    if (!options.voice_dir.empty()) {
        const std::string profile = find_voice_profile(options.voice_dir);
        if (profile.empty()) {
            say("cannot use the voice profile " + options.voice_dir +
                ": it holds no adapted model (make one with --adapt)");
            return std::nullopt;
        }
        say("decoding with the voice profile in " + options.voice_dir);
        return profile;
    }
    if (options.model_dir == default_model_dir && !profile_voice_dir(options).empty()) {
        const std::string voice = profile_voice_dir(options);
        if (const std::string profile = find_voice_profile(voice); !profile.empty()) {
            say("decoding with the voice profile in " + voice + " (--no-profile to decode without)");
            return profile;
        }
        // Something there that is no profile (emptied, a link to nowhere): decoding without it must not
        // pass unsaid.
        std::error_code ignored;
        if (std::filesystem::symlink_status(voice, ignored).type() != std::filesystem::file_type::not_found)
            say("the voice profile in " + voice + " holds no adapted model; decoding without it");
    }
    return options.model_dir;
}

}  // namespace server
