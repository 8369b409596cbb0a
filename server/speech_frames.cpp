#include "server/speech_frames.h"

#include <sphinxbase/fe.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace server {
namespace {

// The cepstra are plain floats in this build of the engine, which is what SpeechFrames holds.
static_assert(std::is_same_v<mfcc_t, float>);

// An upload needs this many frames of speech (10 ms each) before its own cepstral mean is trusted; below
// it the model's estimate is closer to the truth than an average over a word or two.
constexpr std::size_t min_frames_for_mean = 50;

// Only frames whose log energy (c0) is within this of the loudest frame's count towards the mean: the
// detector keeps a little silence around each segment, and breaths and room noise there would pull the mean
// towards the noise. Measured on the engine's test recordings: 2 to 5 read best, none or 6 and more worse.
constexpr float mean_floor_below_loudest = 3.5f;

void check(int status, const char* step) {
    if (status < 0) throw std::runtime_error(std::string(step) + " failed (" + std::to_string(status) + ")");
}

}  // namespace

std::vector<float> cepstral_mean(const SpeechFrames& speech, const std::vector<float>& fallback) {
    if (speech.frames() < min_frames_for_mean) return fallback;
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

void remove_cepstral_mean(SpeechFrames& speech, const std::vector<float>& fallback) {
    const std::vector<float> mean = cepstral_mean(speech, fallback);
    if (mean.size() != speech.width) throw std::runtime_error("the model's cepstral mean has the wrong size");
    for (std::size_t f = 0; f < speech.frames(); ++f) {
        float* cepstrum = speech.frame(f);
        for (std::size_t i = 0; i < speech.width; ++i) cepstrum[i] -= mean[i];
    }
}

std::size_t trim_quiet_tails(SpeechFrames& speech, std::size_t keep, float share_of_range) {
    if (speech.frames() == 0) return 0;
    float top = -1e30f;
    float bottom = 1e30f;
    for (std::size_t f = 0; f < speech.frames(); ++f) {
        top = std::max(top, speech.frame(f)[0]);
        bottom = std::min(bottom, speech.frame(f)[0]);
    }
    const float floor = bottom + share_of_range * (top - bottom);
    std::size_t dropped = 0;
    for (auto& segment : speech.segments) {
        std::size_t end = segment.first + segment.count;
        while (end > segment.first && speech.frame(end - 1)[0] < floor) --end;
        if (end == segment.first) continue;  // nothing loud: keep what the detector chose
        const std::size_t loud_part = end - segment.first;
        const std::size_t kept = segment.count - loud_part <= keep ? segment.count : loud_part + keep;
        dropped += segment.count - kept;
        segment.count = kept;
    }
    return dropped;
}

FrontEnd::FrontEnd(cmd_ln_s* config) : fe_(fe_init_auto_r(config)) {
    if (fe_ == nullptr) throw std::runtime_error("cannot set up the recogniser's front end");
}

FrontEnd::~FrontEnd() { fe_free(fe_); }

SpeechFrames FrontEnd::speech_of(std::span<const std::int16_t> samples) {
    SpeechFrames out;
    out.width = static_cast<std::size_t>(fe_get_output_size(fe_));
    int shift = 0, size = 0;
    fe_get_input_size(fe_, &shift, &size);
    // Room for the frames the detector holds back before it decides that speech has begun.
    constexpr int capacity = 128;
    std::vector<float> block(static_cast<std::size_t>(capacity) * out.width);
    std::vector<float*> rows;
    for (int i = 0; i < capacity; ++i) rows.push_back(block.data() + static_cast<std::size_t>(i) * out.width);
    bool open = false;  // the last segment is still growing
    auto take = [&](int frames) {
        if (frames > 0 && !open) out.segments.push_back({out.frames(), 0});
        for (int i = 0; i < frames; ++i) out.cepstra.insert(out.cepstra.end(), rows[i], rows[i] + out.width);
        if (frames > 0) out.segments.back().count += static_cast<std::size_t>(frames);
        open = open || frames > 0;
        // The detector's state after each step tells where a pause ends a segment. Silence in the middle
        // of one call would be skipped unseen, so no call is given more than a frame's step of samples.
        if (fe_get_vad_state(fe_) == 0) open = false;
    };

    fe_start_stream(fe_);
    check(fe_start_utt(fe_), "fe_start_utt");
    const std::int16_t* next = samples.data();
    std::size_t left = samples.size();
    for (;;) {
        std::size_t step = std::min(left, static_cast<std::size_t>(std::max(shift, 1)));
        const std::size_t given = step;
        int frames = capacity;
        int first_index = 0;
        check(fe_process_frames(fe_, &next, &step, rows.data(), &frames, &first_index), "fe_process_frames");
        left -= given - step;
        take(frames);
        if (frames == 0 && step == given) break;  // nothing consumed and nothing held back: done
    }
    int frames = 0;
    check(fe_end_utt(fe_, rows[0], &frames), "fe_end_utt");
    if (open) take(frames);
    return out;
}

}  // namespace server
