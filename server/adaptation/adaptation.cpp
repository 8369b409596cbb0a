#include "server/adaptation/adaptation.h"

#include <atomic>
#include <cstdio>
#include <exception>
#include <mutex>
#include <thread>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "server/adaptation/adaptation_pairs.h"
#include "server/adaptation/model_training.h"
#include "server/recognition/recognizer.h"
#include "server/recognition/resampler.h"
#include "server/adaptation/voice_profile.h"
#include "server/recognition/wav_reader.h"
#include "server/adaptation/word_errors.h"

namespace server {
namespace fs = std::filesystem;

namespace {

// Every tenth pair is held back to judge the adapted models by.
constexpr std::size_t held_back_every = 10;

struct Utterance {
    const AdaptationPair* pair = nullptr;
    std::vector<std::int16_t> samples;
    double seconds = 0;
};

std::vector<std::int16_t> read_samples(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto decoded = decode_wav(bytes);
    if (const auto* error = std::get_if<WavError>(&decoded))
        throw std::runtime_error(path + ": " + error->message);
    return to_recognizer_input(std::get<WavAudio>(decoded));
}

double percent(std::size_t errors, std::size_t words) {
    return words == 0 ? 0.0 : 100.0 * static_cast<double>(errors) / static_cast<double>(words);
}

double held_back_error(const std::string& model_dir, const std::vector<Utterance>& held_back) {
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
                std::istringstream text(recognizer.transcribe(held_back[i].samples));
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
    std::size_t words = 0;
    for (std::size_t i = 0; i < held_back.size(); ++i) {
        total += errors[i];
        words += held_back[i].pair->words.size();
    }
    return percent(total, words);
}

// Writes the corpus the tools train on from `training` and returns the speaker's cepstral mean over all the
// speech, the held-back takes' included: it needs no transcript.
std::vector<float> write_corpus(const std::vector<Utterance>& training,
                                const std::vector<Utterance>& held_back, Recognizer& recognizer,
                                const ModelTraining& training_files,
                                const std::function<void(const std::string&)>& progress) {
    fs::create_directories(training_files.feature_dir());
    std::ofstream control(training_files.control_path());
    std::ofstream transcripts(training_files.transcript_path());
    std::vector<double> sum;
    double weight = 0;
    std::size_t done = 0;
    int reported = 0;
    std::vector<const Utterance*> all;
    for (const auto& utterance : training) all.push_back(&utterance);
    for (const auto& utterance : held_back) all.push_back(&utterance);
    for (const Utterance* each : all) {
        const Utterance& utterance = *each;
        const Recognizer::SearchFrames speech = recognizer.frames_of(utterance.samples);
        const std::vector<float>& mean = speech.mean;
        sum.resize(mean.size(), 0.0);
        for (std::size_t i = 0; i < mean.size(); ++i) sum[i] += mean[i] * utterance.seconds;
        weight += utterance.seconds;
        if (done < training.size()) {
            // The segments only, one after another: the pauses between them are not searched either.
            if (speech.frames() > 0) {
                const std::string name = "take" + std::to_string(done + 1);
                write_cepstra(training_files.feature_dir() + "/" + name + ".mfc", speech.cepstra.data(),
                              speech.frames(), speech.width);
                control << name << '\n';
                transcripts << "<s>";
                for (const auto& word : utterance.pair->words) transcripts << ' ' << word;
                transcripts << " </s> (" << name << ")\n";
            }
        }
        ++done;
        const int share = static_cast<int>(100 * done / all.size());
        if (share / 25 > reported) {
            reported = share / 25;
            progress("features: " + std::to_string(share) + " % of the takes");
        }
    }
    control.close();
    transcripts.close();
    if (!control || !transcripts)
        throw std::runtime_error("cannot write the corpus in " + training_files.feature_dir());
    std::vector<float> mean(sum.size());
    for (std::size_t i = 0; i < sum.size(); ++i) mean[i] = static_cast<float>(sum[i] / weight);
    return mean;
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

Keep choose_what_to_keep(double error_before, std::optional<double> adapted_error, bool has_profile,
                         bool enough_for_mean) {
    if (adapted_error && *adapted_error < error_before) return Keep::adapted;
    if (!has_profile && enough_for_mean) return Keep::mean_only;
    return Keep::nothing;
}

AdaptationResult adapt_voice(const AdaptationSettings& settings,
                             const std::function<void(const std::string&)>& progress) {
    const auto dictionary = dictionary_words(settings.stock_model_dir + "/en-us/cmudict-en-us.dict");
    const PairSearch found = find_pairs(settings.pair_folders, dictionary);
    AdaptationResult result;
    result.unknown_words = found.unknown_words;
    if (found.pairs.size() < 2) {
        throw std::runtime_error("adaptation needs at least two takes with their texts; found " +
                                 std::to_string(found.pairs.size()) + " usable");
    }
    progress("reading " + std::to_string(found.pairs.size()) + " takes");
    std::vector<Utterance> training;
    std::vector<Utterance> held_back;
    for (std::size_t i = 0; i < found.pairs.size(); ++i) {
        Utterance utterance{&found.pairs[i], read_samples(found.pairs[i].wav_path), 0};
        utterance.seconds = static_cast<double>(utterance.samples.size()) / recognizer_rate;
        const bool hold = i % held_back_every == held_back_every - 1 ||
                          (found.pairs.size() < held_back_every && i + 1 == found.pairs.size());
        (hold ? held_back : training).push_back(std::move(utterance));
    }
    for (const auto& utterance : training) result.adapted_seconds += utterance.seconds;
    for (const auto& utterance : held_back) result.held_back_seconds += utterance.seconds;
    result.pairs_used = training.size();
    result.pairs_held_back = held_back.size();

    const fs::path voice = fs::absolute(settings.voice_dir);
    const std::string work_dir = voice.string() + ".work";
    const std::string stage_dir = voice.string() + ".new";
    std::error_code ignored;
    fs::remove_all(work_dir, ignored);
    fs::remove_all(stage_dir, ignored);
    fs::create_directories(work_dir);
    // The work folder stays when a step fails, for the tools' log the failure points at.
    struct Cleanup {
        std::string work, stage;
        bool finished = false;
        ~Cleanup() {
            std::error_code ignored;
            if (finished) fs::remove_all(work, ignored);
            fs::remove_all(stage, ignored);
        }
    } cleanup{work_dir, stage_dir};

    ModelTraining model(work_dir, settings.stock_model_dir);
    std::vector<float> speaker_mean;
    {
        Recognizer front_end(settings.stock_model_dir, 1);
        speaker_mean = write_corpus(training, held_back, front_end, model, progress);
    }
    const bool has_profile = is_voice_profile(voice.string());
    const std::string baseline = has_profile ? voice.string() : settings.stock_model_dir;
    result.before = {has_profile ? "current profile" : "stock model", 0};
    progress("word error of the " + result.before.model + " on " + std::to_string(held_back.size()) +
             " held-back takes");
    result.before.word_error = held_back_error(baseline, held_back);

    auto stage = [&](const std::string& name) {
        const std::string dir = work_dir + "/" + name;
        stage_voice_profile(dir, settings.stock_model_dir);
        write_feature_params(dir, settings.stock_model_dir, speaker_mean);
        return dir;
    };
    const std::string map_dir = work_dir + "/MAP";
    std::optional<double> map_error;
    if (result.adapted_seconds >= settings.seconds_for_map) {
        progress("aligning " + seconds_text(result.adapted_seconds) + " of speech with the stock model");
        model.prepare();
        model.gather_statistics(2);
        progress("MAP re-estimation");
        model.write_map_model(acoustic_model_dir(stage("MAP")));
        progress("word error of the MAP model on the held-back takes");
        map_error = held_back_error(map_dir, held_back);
        result.adapted.push_back({"MAP", *map_error});
    }
    const double speech_seconds = result.adapted_seconds + result.held_back_seconds;
    std::string chosen;
    switch (choose_what_to_keep(result.before.word_error, map_error, has_profile,
                                speech_seconds >= settings.seconds_for_mean)) {
        case Keep::adapted:
            chosen = map_dir;
            result.kept = "MAP";
            result.kept_word_error = *map_error;
            break;
        case Keep::mean_only:
            // The stock model with the speaker's mean, for uploads too short to estimate their own.
            chosen = stage("cepstral mean");
            result.kept = "cepstral mean";
            result.kept_word_error = result.before.word_error;
            break;
        case Keep::nothing:
            break;
    }
    if (!chosen.empty()) {
        write_record(chosen, result, training, held_back);
        fs::rename(chosen, stage_dir);
        replace_voice_profile(stage_dir, voice.string());
    }
    cleanup.finished = true;
    return result;
}

}  // namespace server
