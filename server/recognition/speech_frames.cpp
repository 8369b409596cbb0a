#include "server/recognition/speech_frames.h"

#include <sphinxbase/fe.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace server {
namespace {

// The cepstra are plain floats in this build of the engine, which is what the frame sink is given.
static_assert(std::is_same_v<mfcc_t, float>);

// An upload needs this many frames of speech (10 ms each) before its own cepstral mean is trusted; below
// it the model's estimate is closer to the truth than an average over a word or two.
constexpr std::size_t min_frames_for_mean = 50;

// The detector keeps a little silence around each segment, and breaths and room noise there would pull the
// mean towards the noise. Measured on the engine's test recordings: 2 to 5 read best, none or 6 and more
// worse.
constexpr float mean_floor_below_loudest = 3.5f;

// Room for the frames the detector holds back before it decides that speech has begun.
constexpr int capacity = 128;

void check(int status, const char* step) {
    if (status < 0) throw std::runtime_error(std::string(step) + " failed (" + std::to_string(status) + ")");
}

}  // namespace

void CepstralMean::add(const float* cepstrum) {
    if (cepstrum[0] < floor_) return;
    ++used_;
    for (std::size_t i = 0; i < sum_.size(); ++i) sum_[i] += cepstrum[i];
}

std::vector<float> CepstralMean::result(std::size_t speech_frames, const std::vector<float>& fallback) const {
    if (speech_frames < min_frames_for_mean || used_ < min_frames_for_mean) {
        if (fallback.size() != sum_.size())
            throw std::runtime_error("the model's cepstral mean has the wrong size");
        return fallback;
    }
    std::vector<float> mean(sum_.size());
    for (std::size_t i = 0; i < sum_.size(); ++i) mean[i] = static_cast<float>(sum_[i] / used_);
    return mean;
}

RunningCepstralMean::RunningCepstralMean(std::size_t width, const std::vector<float>& fallback)
    : width_(width), fallback_(fallback) {
    if (fallback_.size() != width_) throw std::runtime_error("the model's cepstral mean has the wrong size");
}

long RunningCepstralMean::bin_of(float energy) { return static_cast<long>(std::floor(energy / bin_width)); }

void RunningCepstralMean::add(const float* cepstrum) {
    ++frames_;
    const long bin = bin_of(cepstrum[0]);
    if (frames_ == 1 || bin > top_bin_) top_bin_ = bin;
    // Frames below both floors never count again: the loudest frame can only grow louder.
    const long floor_bin = std::min(bin_of(mean_floor(top_bin_ * bin_width)), bin_of(fallback_[0]));
    bins_.erase(bins_.begin(), bins_.lower_bound(floor_bin));
    if (bin < floor_bin) return;
    auto& [count, sum] = bins_[bin];
    if (sum.empty()) sum.assign(width_, 0.0);
    ++count;
    for (std::size_t i = 0; i < width_; ++i) sum[i] += cepstrum[i];
}

bool RunningCepstralMean::mean_from(long from, std::vector<float>& mean) const {
    std::size_t used = 0;
    std::vector<double> total(width_, 0.0);
    for (auto at = bins_.lower_bound(from); at != bins_.end(); ++at) {
        used += at->second.first;
        for (std::size_t i = 0; i < width_; ++i) total[i] += at->second.second[i];
    }
    if (used == 0) return false;
    mean.resize(width_);
    for (std::size_t i = 0; i < width_; ++i)
        mean[i] = static_cast<float>(total[i] / static_cast<double>(used));
    return used >= min_frames_for_mean;
}

bool RunningCepstralMean::heard_enough() const {
    // The frames the second step averages over, whichever mean the first step took.
    std::vector<float> mean;
    if (frames_ < min_frames_for_mean || !mean_from(bin_of(mean_floor(top_bin_ * bin_width)), mean))
        mean = fallback_;
    std::vector<float> louder;
    return frames_ >= min_frames_for_mean && mean_from(bin_of(mean[0]), louder);
}

std::vector<float> RunningCepstralMean::result() const {
    // As CepstralMean: the loud frames' mean, or the model's when they are too few.
    std::vector<float> mean;
    if (frames_ < min_frames_for_mean || !mean_from(bin_of(mean_floor(top_bin_ * bin_width)), mean))
        mean = fallback_;
    // As remove_utterance_mean: the frames at least as loud as that mean's c0.
    std::vector<float> louder;
    mean_from(bin_of(mean[0]), louder);
    return louder.empty() ? mean : louder;
}

void remove_utterance_mean(float* frames, std::size_t count, std::size_t width) {
    std::vector<double> sum(width, 0.0);
    std::size_t used = 0;
    for (std::size_t f = 0; f < count; ++f) {
        const float* frame = frames + f * width;
        if (frame[0] < 0) continue;
        ++used;
        for (std::size_t i = 0; i < width; ++i) sum[i] += frame[i];
    }
    if (used == 0) return;
    for (std::size_t f = 0; f < count; ++f) {
        for (std::size_t i = 0; i < width; ++i) frames[f * width + i] -= static_cast<float>(sum[i] / used);
    }
}

float mean_floor(float loudest) { return loudest - mean_floor_below_loudest; }

std::size_t trimmed_count(const float* frames, std::size_t count, std::size_t width, std::size_t keep,
                          float floor) {
    std::size_t loud_part = count;
    while (loud_part > 0 && frames[(loud_part - 1) * width] < floor) --loud_part;
    if (loud_part == 0) return count;  // nothing loud: keep what the detector chose
    return count - loud_part <= keep ? count : loud_part + keep;
}

std::size_t lead_in(std::vector<float>& segment, std::size_t width, const std::vector<float>& quiet,
                    float floor) {
    if (segment.size() < width || segment[0] < floor || quiet.size() != width) return 0;
    std::vector<float> before;
    before.reserve(lead_in_frames * width);
    for (std::size_t f = 0; f < lead_in_frames; ++f) before.insert(before.end(), quiet.begin(), quiet.end());
    segment.insert(segment.begin(), before.begin(), before.end());
    return lead_in_frames;
}

FrontEnd::FrontEnd(cmd_ln_s* config) : fe_(fe_init_auto_r(config)) {
    if (fe_ == nullptr) throw std::runtime_error("cannot set up the recogniser's front end");
}

FrontEnd::~FrontEnd() { fe_free(fe_); }

std::size_t FrontEnd::width() const { return static_cast<std::size_t>(fe_get_output_size(fe_)); }

void FrontEnd::run(const SampleSource& audio, const FrameSink& sink, const std::function<void()>& paused) {
    const std::size_t frame_width = width();
    int shift = 0, size = 0;
    fe_get_input_size(fe_, &shift, &size);
    // The detector's state after each step tells where a pause ends a segment. Silence in the middle of one
    // call would be skipped unseen, so no call is given more than a frame's step of samples.
    const std::size_t step_samples = static_cast<std::size_t>(std::max(shift, 1));
    std::vector<float> block(static_cast<std::size_t>(capacity) * frame_width);
    std::vector<float*> rows;
    for (int i = 0; i < capacity; ++i)
        rows.push_back(block.data() + static_cast<std::size_t>(i) * frame_width);

    bool open = false;           // the last segment is still growing
    std::size_t in_segment = 0;  // frames in it so far
    auto take = [&](int frames) {
        for (int i = 0; i < frames; ++i) {
            const bool starts = !open || in_segment == max_segment_frames;
            if (starts) in_segment = 0;
            sink(rows[static_cast<std::size_t>(i)], starts);
            ++in_segment;
            open = true;
        }
        if (fe_get_vad_state(fe_) == 0 && open) {
            open = false;
            if (paused) paused();
        }
    };
    // One call on up to a step of `left` samples at `next`; false when it neither consumed nor made
    // anything, which is where the front end has no more to give.
    auto process = [&](const std::int16_t*& next, std::size_t& left, std::size_t most) {
        std::size_t step = std::min(left, most);
        const std::size_t given = step;
        int frames = capacity;
        int first_index = 0;
        check(fe_process_frames(fe_, &next, &step, rows.data(), &frames, &first_index), "fe_process_frames");
        left -= given - step;
        take(frames);
        return !(frames == 0 && step == given);
    };

    fe_start_stream(fe_);
    check(fe_start_utt(fe_), "fe_start_utt");
    std::vector<std::int16_t> pending;  // samples short of a whole step, carried to the next block
    bool ended = false;
    audio.play([&](std::span<const std::int16_t> samples) {
        if (ended) return;
        pending.insert(pending.end(), samples.begin(), samples.end());
        const std::int16_t* next = pending.data();
        std::size_t left = pending.size();
        while (left >= step_samples && !ended) ended = !process(next, left, step_samples);
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(pending.size() - left));
    });
    const std::int16_t* next = pending.data();
    std::size_t left = pending.size();
    // The last samples, then whatever the detector still holds back.
    while (!ended) ended = !process(next, left, step_samples);
    int frames = 0;
    check(fe_end_utt(fe_, rows[0], &frames), "fe_end_utt");
    if (open) take(frames);
}

}  // namespace server
