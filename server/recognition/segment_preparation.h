#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "server/recognition/speech_frames.h"
#include "server/recognition/speech_to_text.h"

namespace server {

// The loudness range of an upload's frames (`width` values each, c0 first) heard so far: its loudest and
// quietest log energy, and the quietest frame itself.
class LoudnessRange {
public:
    explicit LoudnessRange(std::size_t width) : width_(width) {}
    void hear(const float* cepstrum);
    // Counts a frame as loud as `energy` (c0) as heard: a range known before the frames come.
    void hear_loudest(float energy);
    bool empty() const { return quietest_.empty(); }
    float loudest() const { return top_; }
    const std::vector<float>& quietest() const { return quietest_; }
    // Where speech begins: frames at least this loud count as speech when tails are trimmed and when a
    // segment is looked at for the quiet before it.
    float loud_floor() const;
    // The quiet a segment whose first frame is `first` is put after (see lead_in): the quietest frame heard
    // when `first` is speech; nothing otherwise.
    std::vector<float> lead_for(const float* first) const;

private:
    std::size_t width_;
    float top_ = -1e30f;
    float bottom_ = 1e30f;
    std::vector<float> quietest_;
};

// How a segment is normalised once `mean` is removed from its frames.
enum class SegmentMean {
    as_given,      // `mean` holds both steps already (RunningCepstralMean)
    then_its_own,  // `mean` is CepstralMean's; remove_utterance_mean follows over the segment's frames
};

// What one segment's search is given, and what decided it.
struct PreparedSegment {
    std::size_t kept = 0;       // the segment's frames searched, from its first (see trimmed_count)
    std::vector<float> lead;    // the quiet frame put lead_in_frames times before them, or nothing
    std::vector<float> mean;    // removed from every frame
    std::vector<float> frames;  // the lead, then the kept frames, normalised: exactly what the search sees

    // Whether a search of `other` is given the same frames as a search of this one.
    bool same_search(const PreparedSegment& other) const {
        return kept == other.kept && lead == other.lead && mean == other.mean;
    }
};

// The one path from a segment's frames, as FrontEnd gives them, to the frames the search sees, for a whole
// upload and for one still arriving alike.
class SegmentPreparation {
public:
    // `width` values a frame; each segment is searched up to `tail_frames` past its last loud frame
    // (SIZE_MAX: to the end the detector gave it).
    SegmentPreparation(std::size_t width, std::size_t tail_frames)
        : width_(width), tail_frames_(tail_frames) {}

    std::size_t width() const { return width_; }
    std::size_t tail_frames() const { return tail_frames_; }
    // How many of `segment`'s frames a search now would be given, before any quiet put in front.
    std::size_t kept(std::span<const float> segment, const LoudnessRange& range) const;
    // The quiet tail trimmed, quiet put before a segment that begins in speech, `mean` removed from every
    // frame, then as `step` says. `range` is the upload's, over the frames heard so far.
    PreparedSegment prepare(std::span<const float> segment, const LoudnessRange& range,
                            std::vector<float> mean, SegmentMean step) const;

private:
    std::size_t width_;
    std::size_t tail_frames_;
};

// What the first two passes over a whole upload find: its loudness range, the mean of its loud frames (the
// model's, `fallback`, when they are too few) and its segments.
struct WholeTake {
    explicit WholeTake(std::size_t width) : range(width) {}
    LoudnessRange range;
    std::vector<float> mean;
    std::size_t frames = 0;
    std::size_t segments = 0;
};
// Plays `audio` through `front_end` once, or twice when it has frames. Throws as FrontEnd::run does.
WholeTake survey_whole_take(FrontEnd& front_end, const SampleSource& audio,
                            const std::vector<float>& fallback);

}  // namespace server
