#include "server/adaptation/adaptation.h"

#include <atomic>
#include <cstdio>
#include <ctime>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "server/adaptation/adaptation_input.h"
#include "server/adaptation/adaptation_pairs.h"
#include "server/adaptation/held_back.h"
#include "server/adaptation/model_training.h"
#include "server/adaptation/profile_lock.h"
#include "server/adaptation/profile_swap.h"
#include "server/recognition/recognizer.h"
#include "server/adaptation/voice_profile.h"
#include "server/adaptation/word_errors.h"

namespace server {
namespace fs = std::filesystem;

namespace {

// The recogniser's frames are 10 ms apart.
constexpr double frames_per_second = 100;
// Even read fast, a word takes a tenth of a second: a text with more words than that is not what the
// take says, and aligning it would only cost the tools time and memory.
constexpr std::size_t min_frames_per_word = 10;

struct Utterance {
    const AdaptationPair* pair = nullptr;
    std::string features;  // the name of its features in the corpus
    double seconds = 0;    // of speech: the frames the search is given, not the take's length
};

double percent(std::size_t errors, std::size_t words) {
    return words == 0 ? 0.0 : 100.0 * static_cast<double>(errors) / static_cast<double>(words);
}

// Word errors of the model in `model_dir` over the held-back takes.
std::size_t held_back_errors(const std::string& model_dir, const std::vector<Utterance>& held_back) {
    Recognizer recognizer(model_dir);
    // Held-back takes are mostly one segment each, which one decoder searches alone: the takes themselves
    // are shared among as many threads as the recogniser has decoders.
    std::vector<std::size_t> errors(held_back.size());
    std::atomic<std::size_t> next{0};
    std::exception_ptr failure;
    std::mutex failure_mutex;
    auto work = [&] {
        try {
            for (std::size_t i = next++; i < held_back.size(); i = next++) {
                const std::string& path = held_back[i].pair->wav_path;
                std::string words;
                try {
                    words = recognizer.transcribe(TakeAudio(path)).words;
                } catch (const EngineUnavailable&) {
                    throw;
                } catch (const std::runtime_error& failure) {
                    throw std::runtime_error("cannot read " + path + ": " + failure.what());
                }
                std::istringstream text(words);
                const std::vector<std::string> heard{std::istream_iterator<std::string>(text), {}};
                errors[i] = word_errors(held_back[i].pair->words, heard);
            }
        } catch (...) {
            std::lock_guard lock(failure_mutex);
            failure = std::current_exception();
            next = held_back.size();
        }
    };
    std::vector<std::thread> helpers;
    for (unsigned i = 1; i < default_decoder_count(); ++i) helpers.emplace_back(work);
    work();
    for (auto& helper : helpers) helper.join();
    if (failure) std::rethrow_exception(failure);
    std::size_t total = 0;
    for (const std::size_t take_errors : errors) total += take_errors;
    return total;
}

std::string seconds_text(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

std::string percent_text(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %%", value);
    return text;
}

// Reads every pair's take through the recogniser's front end, writes its features for the tools and returns
// the takes that have speech enough for their words; the rest are told to `progress` and left out.
std::vector<Utterance> read_takes(const std::vector<AdaptationPair>& pairs, Recognizer& recognizer,
                                  const ModelTraining& training_files,
                                  const std::function<void(const std::string&)>& progress) {
    fs::create_directories(training_files.feature_dir());
    std::vector<Utterance> usable;
    int reported = 0;
    for (std::size_t done = 0; done < pairs.size(); ++done) {
        const AdaptationPair& pair = pairs[done];
        std::string skipped;
        Recognizer::SearchFrames speech;
        try {
            speech = recognizer.frames_of(TakeAudio(pair.wav_path));
        } catch (const EngineUnavailable&) {
            throw;
        } catch (const std::runtime_error& failure) {
            skipped = failure.what();  // not a WAV the server reads, or unreadable
        }
        const double seconds = static_cast<double>(speech.frames()) / frames_per_second;
        if (skipped.empty() && speech.frames() == 0) skipped = "no speech";
        if (skipped.empty() && pair.words.size() * min_frames_per_word > speech.frames()) {
            skipped = std::to_string(pair.words.size()) + " words in its text, more than its " +
                      seconds_text(seconds) + " of speech can hold";
        }
        if (!skipped.empty()) {
            progress("skipped " + pair.wav_path + ": " + skipped);
        } else {
            Utterance utterance{&pair, "take" + std::to_string(usable.size() + 1), seconds};
            write_cepstra(training_files.feature_dir() + "/" + utterance.features + ".mfc",
                          speech.cepstra.data(), speech.frames(), speech.width);
            usable.push_back(std::move(utterance));
        }
        const int share = static_cast<int>(100 * (done + 1) / pairs.size());
        if (share / 25 > reported) {
            reported = share / 25;
            progress("features: " + std::to_string(share) + " % of the takes");
        }
    }
    return usable;
}

// The corpus the tools train on: `training`'s features and words.
void write_corpus(const std::vector<Utterance>& training, const ModelTraining& training_files) {
    std::ofstream control(training_files.control_path());
    std::ofstream transcripts(training_files.transcript_path());
    for (const auto& utterance : training) {
        control << utterance.features << '\n';
        transcripts << "<s>";
        for (const auto& word : utterance.pair->words) transcripts << ' ' << word;
        transcripts << " </s> (" << utterance.features << ")\n";
    }
    control.close();
    transcripts.close();
    if (!control || !transcripts)
        throw std::runtime_error("cannot write the corpus in " + training_files.feature_dir());
}

void write_record(const std::string& stage_dir, const AdaptationResult& result,
                  const std::vector<Utterance>& training, const std::vector<Utterance>& held_back) {
    std::ofstream record(stage_dir + "/profile.txt");
    const std::time_t now = std::time(nullptr);
    char made[32];
    std::strftime(made, sizeof made, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
    record << "made: " << made << '\n'
           << "kept: " << result.kept << '\n'
           << "adapted on: " << training.size() << " takes, " << seconds_text(result.adapted_seconds) << '\n'
           << "held back: " << held_back.size() << " takes, " << seconds_text(result.held_back_seconds)
           << ", " << result.held_back_words << " words"
           << (result.enough_held_back ? ""
                                       : " (too few to judge by alone: MAP had to make a fifth fewer errors)")
           << '\n'
           << "skipped for words not in the dictionary: " << result.unknown_words.size() << '\n'
           << "word error on the held-back takes: " << result.before.model << ' '
           << percent_text(result.before.word_error);
    for (const auto& figure : result.adapted)
        record << ", " << figure.model << ' ' << percent_text(figure.word_error);
    record << '\n';
    std::ofstream takes(stage_dir + "/takes.txt");
    for (const auto& utterance : training) takes << utterance.pair->wav_path << '\n';
    for (const auto& utterance : held_back) takes << utterance.pair->wav_path << " (held back)\n";
    if (!record || !takes) throw std::runtime_error("cannot write the profile's record in " + stage_dir);
}

}  // namespace

Keep choose_what_to_keep(std::size_t errors_before, std::optional<std::size_t> adapted_errors,
                         bool enough_held_back) {
    if (!adapted_errors || *adapted_errors >= errors_before) return Keep::nothing;
    if (!enough_held_back && 5 * *adapted_errors > 4 * errors_before) return Keep::nothing;
    return Keep::adapted;
}

AdaptationResult adapt_voice(const AdaptationSettings& settings,
                             const std::function<void(const std::string&)>& progress) {
    const fs::path voice = voice_profile_name(settings.voice_dir);
    const ProfileLock lock(voice.string());
    tidy_voice_profile(voice.string());

    const auto dictionary = dictionary_words(settings.stock_model_dir + "/en-us/cmudict-en-us.dict");
    const PairSearch found = find_pairs(settings.pair_folders, dictionary);
    for (const auto& refused : found.refused) progress("skipped " + refused);
    AdaptationResult result;
    result.unknown_words = found.unknown_words;
    const auto check_count = [](std::size_t usable) {
        if (usable < 2) {
            throw std::runtime_error("adaptation needs at least two takes with their texts; found " +
                                     std::to_string(usable) + " usable");
        }
    };
    check_count(found.pairs.size());

    const std::string work_dir = voice.string() + ".work";
    std::error_code ignored;
    fs::remove_all(work_dir, ignored);
    fs::create_directories(work_dir);
    // The work folder stays when a step fails, for the tools' log the failure points at; the lock keeps
    // another run from removing it meanwhile.
    struct Cleanup {
        std::string work;
        bool finished = false;
        ~Cleanup() {
            std::error_code ignored;
            if (finished) fs::remove_all(work, ignored);
        }
    } cleanup{work_dir};

    progress("reading " + std::to_string(found.pairs.size()) + " takes");
    ModelTraining model(work_dir, settings.stock_model_dir);
    std::vector<Utterance> usable;
    {
        Recognizer front_end(settings.stock_model_dir, 1);
        usable = read_takes(found.pairs, front_end, model, progress);
    }
    check_count(usable.size());
    std::vector<TakeSize> sizes;
    for (const auto& utterance : usable) sizes.push_back({utterance.seconds, utterance.pair->words.size()});
    HeldBackNeeds needs;
    needs.seconds_to_train = settings.seconds_for_map;
    const HeldBack chosen_takes = choose_held_back(sizes, needs);
    std::vector<Utterance> training;
    std::vector<Utterance> held_back;
    for (std::size_t i = 0, next = 0; i < usable.size(); ++i) {
        const bool hold = next < chosen_takes.takes.size() && chosen_takes.takes[next] == i;
        next += hold ? 1 : 0;
        (hold ? held_back : training).push_back(usable[i]);
    }
    for (const auto& utterance : training) result.adapted_seconds += utterance.seconds;
    result.held_back_seconds = chosen_takes.seconds;
    result.held_back_words = chosen_takes.words;
    result.enough_held_back = chosen_takes.enough;
    result.pairs_used = training.size();
    result.pairs_held_back = held_back.size();
    write_corpus(training, model);

    const std::string current = find_voice_profile(voice.string());
    const bool has_profile = !current.empty();
    const std::string baseline = has_profile ? current : settings.stock_model_dir;
    const auto figure = [&](const std::string& name, std::size_t errors) {
        return HeldBackFigure{name, errors, percent(errors, result.held_back_words)};
    };
    progress("word error of the " + std::string(has_profile ? "current profile" : "stock model") + " on " +
             std::to_string(held_back.size()) + " held-back takes (" +
             seconds_text(result.held_back_seconds) + ", " + std::to_string(result.held_back_words) +
             " words)");
    result.before =
        figure(has_profile ? "current profile" : "stock model", held_back_errors(baseline, held_back));

    const std::string map_dir = work_dir + "/MAP";
    std::optional<std::size_t> map_errors;
    if (result.adapted_seconds >= settings.seconds_for_map) {
        progress("aligning " + seconds_text(result.adapted_seconds) + " of speech with the stock model");
        model.prepare();
        model.gather_statistics(2);
        progress("MAP re-estimation");
        // The profile keeps the stock feature parameters, initial cepstral mean included: takes are
        // normalised with the stock mean unless they have half a second of loud speech of their own, which
        // none of the benchmark's 384 takes or the engine's test recordings had.
        stage_voice_profile(map_dir, settings.stock_model_dir);
        model.write_map_model(acoustic_model_dir(map_dir));
        progress("word error of the MAP model on the held-back takes");
        map_errors = held_back_errors(map_dir, held_back);
        result.adapted.push_back(figure("MAP", *map_errors));
    }
    if (choose_what_to_keep(result.before.errors, map_errors, result.enough_held_back) == Keep::adapted) {
        result.kept = "MAP";
        result.kept_word_error = result.adapted.back().word_error;
        write_record(map_dir, result, training, held_back);
        replace_voice_profile(map_dir, voice.string());
    }
    cleanup.finished = true;
    return result;
}

}  // namespace server
