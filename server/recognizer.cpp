#include "server/recognizer.h"

#include <pocketsphinx.h>
#include <sphinxbase/err.h>

#include <algorithm>
#include <sstream>
#include <stdexcept>

namespace server {
namespace {

// An upload needs this many frames of speech (10 ms each) before its own cepstral mean is trusted; below
// it the model's estimate is closer to the truth than an average over a word or two.
constexpr std::size_t min_frames_for_mean = 50;

// Only frames whose log energy (c0) is within this of the loudest frame's count towards the mean: the
// detector keeps a little silence around each segment, and breaths and room noise there would pull the mean
// towards the noise. Measured on the engine's test recordings: 2 to 5 read best, none or 6 and more worse.
constexpr float mean_floor_below_loudest = 3.5f;

void add_words(std::string& text, const char* hypothesis) {
    if (hypothesis == nullptr || *hypothesis == '\0') return;
    if (!text.empty()) text.push_back(' ');
    text += hypothesis;
}

std::vector<float> parse_mean(const char* listed) {
    std::vector<float> mean;
    std::istringstream in(listed == nullptr ? "" : listed);
    for (std::string value; std::getline(in, value, ',');) mean.push_back(std::stof(value));
    return mean;
}

// The average cepstrum of the upload's loud speech frames, or `fallback` when there are too few of them.
std::vector<float> cepstral_mean(const SpeechFrames& speech, const std::vector<float>& fallback) {
    if (speech.frames() < min_frames_for_mean || fallback.size() != speech.width) return fallback;
    float top = -1e30f;
    for (std::size_t f = 0; f < speech.frames(); ++f) top = std::max(top, speech.frame(f)[0]);
    const float floor = top - mean_floor_below_loudest;
    std::vector<double> sum(speech.width, 0.0);
    std::size_t used = 0;
    for (std::size_t f = 0; f < speech.frames(); ++f) {
        const float* cepstrum = speech.frame(f);
        if (cepstrum[0] < floor) continue;
        ++used;
        for (std::size_t i = 0; i < speech.width; ++i) sum[i] += cepstrum[i];
    }
    if (used < min_frames_for_mean) return fallback;
    std::vector<float> mean(speech.width);
    for (std::size_t i = 0; i < speech.width; ++i) mean[i] = static_cast<float>(sum[i] / used);
    return mean;
}

}  // namespace

std::string default_model_dir() { return DICTATE_SERVER_MODEL_DIR; }

Recognizer::Recognizer(const std::string& model_dir) {
    // Before anything can log: the configuration parser itself prints to stderr otherwise.
    err_set_logfp(nullptr);
    const std::string hmm = model_dir + "/en-us/en-us";
    const std::string lm = model_dir + "/en-us/en-us.lm.bin";
    const std::string dict = model_dir + "/en-us/cmudict-en-us.dict";
    // The decoder normalises nothing itself: transcribe() removes each upload's own mean from the cepstra.
    cmd_ln_t* config = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", hmm.c_str(), "-lm", lm.c_str(), "-dict",
                                   dict.c_str(), "-cmn", "none", "-logfn", "/dev/null", nullptr);
    if (config == nullptr) throw std::runtime_error("cannot configure the recogniser for " + model_dir);
    decoder_ = ps_init(config);
    cmd_ln_free_r(config);  // the decoder holds its own reference
    if (decoder_ == nullptr) {
        throw std::runtime_error("cannot load the speech model from " + model_dir +
                                 " (needs en-us/en-us/, en-us/en-us.lm.bin and en-us/cmudict-en-us.dict)");
    }
    try {
        front_end_.emplace(ps_get_config(decoder_));
        // The model folder's feature parameters fill in the initial mean when the decoder loads.
        model_mean_ = parse_mean(cmd_ln_str_r(ps_get_config(decoder_), "-cmninit"));
    } catch (...) {
        ps_free(decoder_);
        throw;
    }
}

Recognizer::~Recognizer() {
    front_end_.reset();
    ps_free(decoder_);
}

std::string Recognizer::transcribe(std::span<const std::int16_t> samples) {
    std::lock_guard lock(mutex_);
    SpeechFrames speech = front_end_->speech_of(samples);
    const std::vector<float> mean = cepstral_mean(speech, model_mean_);
    for (std::size_t f = 0; f < speech.frames(); ++f) {
        float* cepstrum = speech.frame(f);
        for (std::size_t i = 0; i < speech.width; ++i) cepstrum[i] -= mean[i];
    }
    std::string text;
    std::vector<float*> rows;
    for (const auto& segment : speech.segments) {
        rows.clear();
        for (std::size_t f = segment.first; f < segment.first + segment.count; ++f) rows.push_back(speech.frame(f));
        if (ps_start_utt(decoder_) < 0) throw std::runtime_error("ps_start_utt failed");
        if (ps_process_cep(decoder_, rows.data(), static_cast<int>(rows.size()), FALSE, TRUE) < 0) {
            ps_end_utt(decoder_);
            throw std::runtime_error("ps_process_cep failed");
        }
        if (ps_end_utt(decoder_) < 0) throw std::runtime_error("ps_end_utt failed");
        add_words(text, ps_get_hyp(decoder_, nullptr));
    }
    return text;
}

}  // namespace server
