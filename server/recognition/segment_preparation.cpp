#include "server/recognition/segment_preparation.h"

#include <algorithm>

namespace server {
namespace {

// Halfway between the upload's silence and its loudest speech: on read sentences, the ends of words fall
// below it only for a few frames, which the kept tail covers.
constexpr float loud_share = 0.5f;

}  // namespace

void LoudnessRange::hear(const float* cepstrum) {
    top_ = std::max(top_, cepstrum[0]);
    if (cepstrum[0] < bottom_) quietest_.assign(cepstrum, cepstrum + width_);
    bottom_ = std::min(bottom_, cepstrum[0]);
}

void LoudnessRange::hear_loudest(float energy) { top_ = std::max(top_, energy); }

float LoudnessRange::loud_floor() const { return bottom_ + loud_share * (top_ - bottom_); }

std::vector<float> LoudnessRange::lead_for(const float* first) const {
    if (empty() || first[0] < loud_floor()) return {};
    return quietest_;
}

std::size_t SegmentPreparation::kept(std::span<const float> segment, const LoudnessRange& range) const {
    return trimmed_count(segment.data(), segment.size() / width_, width_, tail_frames_, range.loud_floor());
}

PreparedSegment SegmentPreparation::prepare(std::span<const float> segment, const LoudnessRange& range,
                                            std::vector<float> mean, SegmentMean step) const {
    PreparedSegment out;
    out.kept = kept(segment, range);
    out.mean = std::move(mean);
    out.frames.assign(segment.begin(), segment.begin() + static_cast<std::ptrdiff_t>(out.kept * width_));
    if (!segment.empty()) out.lead = range.lead_for(segment.data());
    lead_in(out.frames, width_, out.lead, range.loud_floor());
    const std::size_t count = out.frames.size() / width_;
    for (std::size_t f = 0; f < count; ++f) {
        for (std::size_t i = 0; i < width_; ++i) out.frames[f * width_ + i] -= out.mean[i];
    }
    if (step == SegmentMean::then_its_own) remove_utterance_mean(out.frames.data(), count, width_);
    return out;
}

WholeTake survey_whole_take(FrontEnd& front_end, const SampleSource& audio,
                            const std::vector<float>& fallback) {
    const std::size_t width = front_end.width();
    WholeTake take(width);
    front_end.run(audio, [&](const float* cepstrum, bool starts_segment) {
        take.range.hear(cepstrum);
        ++take.frames;
        if (starts_segment) ++take.segments;
    });
    CepstralMean loud_mean(width, mean_floor(take.range.loudest()));
    if (take.frames > 0) front_end.run(audio, [&](const float* cepstrum, bool) { loud_mean.add(cepstrum); });
    take.mean = loud_mean.result(take.frames, fallback);
    return take;
}

}  // namespace server
