#include "server/recognizer.h"

#include <pocketsphinx.h>
#include <sphinxbase/err.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace server {
namespace {

std::vector<float> parse_mean(const char* listed) {
    std::vector<float> mean;
    std::istringstream in(listed == nullptr ? "" : listed);
    for (std::string value; std::getline(in, value, ',');) mean.push_back(std::stof(value));
    return mean;
}

ps_decoder_t* load_decoder(const std::string& model_dir) {
    const std::string hmm = model_dir + "/en-us/en-us";
    const std::string lm = model_dir + "/en-us/en-us.lm.bin";
    const std::string dict = model_dir + "/en-us/cmudict-en-us.dict";
    // The decoder normalises nothing itself: transcribe() removes each upload's own mean from the cepstra.
    // The search is narrower than the engine's default and skips its second, flat-lexicon pass: measured on
    // read speech this decodes a sentence in about a third of the time, with fewer errors on the engine's
    // test recordings and about as many on telephone-band prompts (see the README's quality figures).
    // clang-format off
    std::vector<std::string> options{
        "-hmm", hmm, "-lm", lm, "-dict", dict, "-cmn", "none",
        "-fwdflat", "no", "-maxhmmpf", "2000", "-topn", "2", "-maxwpf", "10",
        "-logfn", "/dev/null"};
    // clang-format on
    std::vector<char*> argv;
    for (auto& option : options) argv.push_back(option.data());
    cmd_ln_t* config = cmd_ln_parse_r(nullptr, ps_args(), static_cast<int>(argv.size()), argv.data(), TRUE);
    if (config == nullptr) throw std::runtime_error("cannot configure the recogniser for " + model_dir);
    ps_decoder_t* decoder = ps_init(config);
    cmd_ln_free_r(config);  // the decoder holds its own reference
    if (decoder == nullptr) {
        throw std::runtime_error("cannot load the speech model from " + model_dir +
                                 " (needs en-us/en-us/, en-us/en-us.lm.bin and en-us/cmudict-en-us.dict)");
    }
    return decoder;
}

// One utterance's words, from a fresh search over its frames.
std::string decode(ps_decoder_t* decoder, SpeechFrames& speech, const SpeechFrames::Segment& segment) {
    std::vector<float*> rows;
    for (std::size_t f = segment.first; f < segment.first + segment.count; ++f)
        rows.push_back(speech.frame(f));
    if (ps_start_utt(decoder) < 0) throw std::runtime_error("ps_start_utt failed");
    if (ps_process_cep(decoder, rows.data(), static_cast<int>(rows.size()), FALSE, TRUE) < 0) {
        ps_end_utt(decoder);
        throw std::runtime_error("ps_process_cep failed");
    }
    if (ps_end_utt(decoder) < 0) throw std::runtime_error("ps_end_utt failed");
    const char* words = ps_get_hyp(decoder, nullptr);
    return words == nullptr ? "" : words;
}

}  // namespace

std::string default_model_dir() { return DICTATE_SERVER_MODEL_DIR; }

unsigned default_decoder_count() { return std::clamp(std::thread::hardware_concurrency(), 1u, 2u); }

Recognizer::Recognizer(const std::string& model_dir, unsigned decoders, std::size_t tail_frames)
    : tail_frames_(tail_frames) {
    // Before anything can log: the configuration parser itself prints to stderr otherwise.
    err_set_logfp(nullptr);
    try {
        for (unsigned i = 0; i < std::max(decoders, 1u); ++i) decoders_.push_back(load_decoder(model_dir));
        cmd_ln_t* config = ps_get_config(decoders_.front());
        front_end_.emplace(config);
        // The model folder's feature parameters fill in the initial mean when the decoder loads.
        model_mean_ = parse_mean(cmd_ln_str_r(config, "-cmninit"));
    } catch (...) {
        front_end_.reset();
        for (auto* decoder : decoders_) ps_free(decoder);
        throw;
    }
    idle_ = decoders_;
}

Recognizer::~Recognizer() {
    front_end_.reset();
    for (auto* decoder : decoders_) ps_free(decoder);
}

ps_decoder_s* Recognizer::acquire(bool wait) {
    std::unique_lock lock(pool_mutex_);
    if (wait) decoder_released_.wait(lock, [&] { return !idle_.empty(); });
    if (idle_.empty()) return nullptr;
    ps_decoder_s* decoder = idle_.back();
    idle_.pop_back();
    return decoder;
}

void Recognizer::release(ps_decoder_s* decoder) {
    {
        std::lock_guard lock(pool_mutex_);
        idle_.push_back(decoder);
    }
    decoder_released_.notify_one();
}

SpeechFrames Recognizer::frames_of(std::span<const std::int16_t> samples) {
    SpeechFrames speech;
    {
        std::lock_guard lock(front_end_mutex_);
        speech = front_end_->speech_of(samples);
    }
    constexpr float loud_share = 0.5f;  // as transcribe() trims
    trim_quiet_tails(speech, tail_frames_, loud_share);
    return speech;
}

std::string Recognizer::transcribe(std::span<const std::int16_t> samples) {
    DecodeStages ignored;
    return transcribe(samples, ignored);
}

std::string Recognizer::transcribe(std::span<const std::int16_t> samples, DecodeStages& stages) {
    using Clock = std::chrono::steady_clock;
    const auto began = Clock::now();
    SpeechFrames speech;
    {
        std::lock_guard lock(front_end_mutex_);
        speech = front_end_->speech_of(samples);
    }
    // Halfway between the upload's silence and its loudest speech: on read sentences, the ends of words
    // fall below it only for a few frames, which the kept tail covers.
    constexpr float loud_share = 0.5f;
    stages.trimmed_frames = trim_quiet_tails(speech, tail_frames_, loud_share);
    remove_cepstral_mean(speech, model_mean_);
    stages.segments = speech.segments.size();
    stages.frames = 0;
    for (const auto& segment : speech.segments) stages.frames += segment.count;
    const auto searching = Clock::now();
    stages.front_end_seconds = std::chrono::duration<double>(searching - began).count();

    std::vector<std::string> words(speech.segments.size());
    std::atomic<std::size_t> next{0};
    auto work = [&](ps_decoder_s* decoder) {
        for (std::size_t i = next++; i < speech.segments.size(); i = next++)
            words[i] = decode(decoder, speech, speech.segments[i]);
    };
    ps_decoder_s* own = acquire(true);
    // A second idle decoder, if there is one, takes segments on another core.
    ps_decoder_s* helper = speech.segments.size() > 1 ? acquire(false) : nullptr;
    std::exception_ptr helper_failure;
    std::thread helping;
    if (helper != nullptr) {
        helping = std::thread([&] {
            try {
                work(helper);
            } catch (...) {
                helper_failure = std::current_exception();
                next = speech.segments.size();
            }
        });
    }
    std::exception_ptr own_failure;
    try {
        work(own);
    } catch (...) {
        own_failure = std::current_exception();
        next = speech.segments.size();
    }
    if (helping.joinable()) helping.join();
    if (helper != nullptr) release(helper);
    release(own);
    if (own_failure) std::rethrow_exception(own_failure);
    if (helper_failure) std::rethrow_exception(helper_failure);

    stages.search_seconds = std::chrono::duration<double>(Clock::now() - searching).count();

    std::string text;
    for (const auto& segment_words : words) {
        if (segment_words.empty()) continue;
        if (!text.empty()) text.push_back(' ');
        text += segment_words;
    }
    return text;
}

}  // namespace server
