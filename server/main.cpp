// dictate-server: offline transcription of WAV uploads for the dictate console program.

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string_view>
#include <vector>

#include "server/formatted_speech.h"
#include "server/text/dictation_formatter.h"
#include "server/text/listed_words.h"
#include "server/http/http_service.h"
#include "server/language/language_command.h"
#include "server/messages.h"
#include "server/options.h"
#include "server/profile_paths.h"
#include "server/recognition/recognizer.h"
#include "server/recognition/user_words.h"
#include "server/stop_signals.h"
#include "server/adaptation/voice_commands.h"

int main(int argc, char** argv) {
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    const auto parsed = server::parse_options(args, server::default_model_dir());
    if (std::holds_alternative<server::ShowHelp>(parsed)) {
        std::fputs(server::usage_text().c_str(), stdout);
        return 0;
    }
    if (const auto* usage = std::get_if<server::UsageError>(&parsed)) {
        server::say(usage->message + " (see --help)");
        return 2;
    }
    const server::Options& options = std::get<server::Options>(parsed);
    if (!options.adapt_dirs.empty()) return server::run_adaptation_command(options);
    if (!options.learn_text_paths.empty()) return server::run_learn_text_command(options);
    const auto model_dir = server::model_dir_with_voice(options, server::default_model_dir());
    if (!model_dir) return 1;

    std::unique_ptr<server::Recognizer> recognizer;
    std::vector<server::ListedPhrase> listed;
    try {
        const auto words = server::load_user_words(options.words_file, server::profile_words_file(options),
                                                   *model_dir, server::say);
        if (!words) return 2;
        for (const auto& word : *words)
            listed.push_back({server::listed_word_written(word.token).value_or(""), word.said});
        recognizer = std::make_unique<server::Recognizer>(
            *model_dir, server::learnt_language_for(options), server::default_decoder_count(),
            server::default_tail_frames, server::start_thread, *words);
    } catch (const std::exception& failure) {
        server::say(failure.what());
        return 1;
    }

    // Where the reply's text is made: written text from the words, unless the plain words were asked for
    // (the user's own words as listed either way).
    const server::ListedPhrases phrases(listed);
    server::RewrittenSpeech heard(*recognizer,
                                  [&phrases](std::string_view words) { return phrases.mark(words); });
    server::RewrittenSpeech formatted(heard, server::format_dictation);
    server::RewrittenSpeech plain(heard, server::plain_words);
    server::SpeechToText& engine = options.raw_words ? plain : formatted;

    // The model is loaded before a single connection is accepted, so /health never answers too early.
    server::HttpService service(engine, options);
    const auto bound = service.bind();
    if (const auto* failure = std::get_if<std::string>(&bound)) {
        server::say(*failure);
        return 1;
    }
    // The first signal finishes the requests in flight; a second one means now.
    std::atomic<int> signals_seen{0};
    server::StopSignals signals([&service, &signals_seen](int signal_number) {
        if (signals_seen++ == 0) {
            service.stop();
            return;
        }
        server::say("stopping at once on a second signal");
        std::_Exit(128 + signal_number);
    });
    server::say("listening on " + options.host + ":" + std::to_string(std::get<int>(bound)));
    if (!service.run()) {
        server::say("serving on " + options.host + " stopped unexpectedly");
        return 1;
    }
    server::say("stopped");
    return 0;
}
