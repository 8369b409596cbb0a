#include "server/recognizer.h"

#include <pocketsphinx.h>
#include <sphinxbase/cmn.h>
#include <sphinxbase/err.h>
#include <sphinxbase/feat.h>

#include <algorithm>
#include <stdexcept>
#include <type_traits>

namespace server {
namespace {

// Samples fed to the decoder at a time. Utterance ends are looked for between blocks, so this block size
// is the command-line decoder's, which keeps segmentation and transcripts identical to it.
constexpr std::size_t block_samples = 2048;

void add_words(std::string& text, const char* hypothesis) {
    if (hypothesis == nullptr || *hypothesis == '\0') return;
    if (!text.empty()) text.push_back(' ');
    text += hypothesis;
}

// The header keeps the cepstral statistics as plain floats in this build of the engine.
static_assert(std::is_same_v<mfcc_t, float>);

}  // namespace

std::string default_model_dir() { return DICTATE_SERVER_MODEL_DIR; }

Recognizer::Recognizer(const std::string& model_dir) {
    // Before anything can log: the configuration parser itself prints to stderr otherwise.
    err_set_logfp(nullptr);
    const std::string hmm = model_dir + "/en-us/en-us";
    const std::string lm = model_dir + "/en-us/en-us.lm.bin";
    const std::string dict = model_dir + "/en-us/cmudict-en-us.dict";
    cmd_ln_t* config = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", hmm.c_str(), "-lm", lm.c_str(), "-dict",
                                   dict.c_str(), "-logfn", "/dev/null", nullptr);
    if (config == nullptr) throw std::runtime_error("cannot configure the recogniser for " + model_dir);
    decoder_ = ps_init(config);
    cmd_ln_free_r(config);  // the decoder holds its own reference
    if (decoder_ == nullptr) {
        throw std::runtime_error("cannot load the speech model from " + model_dir +
                                 " (needs en-us/en-us/, en-us/en-us.lm.bin and en-us/cmudict-en-us.dict)");
    }
    const cmn_t* cmn = ps_get_feat(decoder_)->cmn_struct;
    initial_cmn_.mean.assign(cmn->cmn_mean, cmn->cmn_mean + cmn->veclen);
    initial_cmn_.sum.assign(cmn->sum, cmn->sum + cmn->veclen);
    initial_cmn_.frames = cmn->nframe;
}

Recognizer::~Recognizer() { ps_free(decoder_); }

std::string Recognizer::transcribe(std::span<const std::int16_t> samples) {
    std::lock_guard lock(mutex_);
    // The decoder adapts its cepstral mean to the audio it hears and would carry it into the next upload.
    // Starting every upload from the model's initial estimate makes a transcript depend on that upload alone
    // (not on who spoke before) and equal to what the command-line decoder gives for the same file.
    cmn_t* cmn = ps_get_feat(decoder_)->cmn_struct;
    std::copy(initial_cmn_.mean.begin(), initial_cmn_.mean.end(), cmn->cmn_mean);
    std::copy(initial_cmn_.sum.begin(), initial_cmn_.sum.end(), cmn->sum);
    cmn->nframe = initial_cmn_.frames;
    // Likewise the noise level estimate, which belongs to a stream.
    if (ps_start_stream(decoder_) < 0) throw std::runtime_error("ps_start_stream failed");
    std::string text;
    if (ps_start_utt(decoder_) < 0) throw std::runtime_error("ps_start_utt failed");
    bool in_utterance = false;
    for (std::size_t first = 0; first < samples.size(); first += block_samples) {
        const std::size_t count = std::min(block_samples, samples.size() - first);
        if (ps_process_raw(decoder_, samples.data() + first, count, FALSE, FALSE) < 0) {
            ps_end_utt(decoder_);
            throw std::runtime_error("ps_process_raw failed");
        }
        const bool speaking = ps_get_in_speech(decoder_) != 0;
        if (speaking) in_utterance = true;
        if (!speaking && in_utterance) {
            ps_end_utt(decoder_);
            add_words(text, ps_get_hyp(decoder_, nullptr));
            if (ps_start_utt(decoder_) < 0) throw std::runtime_error("ps_start_utt failed");
            in_utterance = false;
        }
    }
    ps_end_utt(decoder_);
    if (in_utterance) add_words(text, ps_get_hyp(decoder_, nullptr));
    return text;
}

}  // namespace server
