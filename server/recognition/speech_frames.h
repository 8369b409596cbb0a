#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <utility>
#include <vector>

#include "server/recognition/speech_to_text.h"

struct fe_s;
struct cmd_ln_s;

namespace server {

// A segment is cut after this many frames (10 ms each) even where the speaker does not pause, so that a
// segment, and the search over it, stays bounded however long an upload runs without a pause.
inline constexpr std::size_t max_segment_frames = 3000;

// The average cepstrum of an upload's loud speech frames: those whose log energy (c0) is at least `floor`.
// Subtracting it makes the features match the model whatever the microphone, voice and room.
class CepstralMean {
public:
    CepstralMean(std::size_t width, float floor) : sum_(width, 0.0), floor_(floor) {}
    void add(const float* cepstrum);
    // The mean, or `fallback` (the model's own estimate, `width` values) when the upload's `speech_frames`
    // or its loud frames are too few to estimate it: a word or two, silence.
    std::vector<float> result(std::size_t speech_frames, const std::vector<float>& fallback) const;

private:
    std::vector<double> sum_;
    float floor_;
    std::size_t used_ = 0;
};

// The second step of the normalisation, per utterance: the mean of the `count` frames (`width` values each,
// c0 first) whose c0 is not negative once CepstralMean's mean is removed, taken from all of them. Frames
// then average to zero over the louder half of the speech whatever the segment. Nothing when no frame
// qualifies.
void remove_utterance_mean(float* frames, std::size_t count, std::size_t width);

// Both steps estimated as the frames come, for audio whose end is not yet known: at any point, what
// CepstralMean and then remove_utterance_mean would remove from every frame if the frames so far were the
// whole upload and one utterance (to within `bin_width` of log energy). Memory is bounded by the range of
// log energy it spans, whatever the audio's length.
class RunningCepstralMean {
public:
    static constexpr float bin_width = 0.01f;

    // `fallback`: the model's own estimate (see CepstralMean::result).
    RunningCepstralMean(std::size_t width, const std::vector<float>& fallback);
    void add(const float* cepstrum);
    std::vector<float> result() const;
    // Whether result() rests on enough of the frames so far to stand for their speaker.
    bool heard_enough() const;

private:
    static long bin_of(float energy);
    // The mean of the frames in bins from `from` up; false when they are too few to trust (or none, when
    // `mean` is left as it was).
    bool mean_from(long from, std::vector<float>& mean) const;

    std::size_t width_;
    std::vector<float> fallback_;
    std::size_t frames_ = 0;
    long top_bin_ = 0;
    // Sums of frames by their log energy's bin, down to the lower of the floor below the loudest frame so
    // far and the fallback's log energy.
    std::map<long, std::pair<std::size_t, std::vector<double>>> bins_;
};

// Only frames whose log energy is within this of the upload's loudest count towards its mean.
float mean_floor(float loudest);

// How many of a segment's `count` frames (`width` values each, c0 first) to search: up to `keep` frames
// after its last loud frame, one whose c0 is at least `floor`. The detector holds half a second of silence
// after speech before it ends a segment, and searching that silence costs time without adding words. A
// segment without a loud frame is kept whole, and so is a tail no longer than `keep`.
std::size_t trimmed_count(const float* frames, std::size_t count, std::size_t width, std::size_t keep,
                          float floor);

// Frames of quiet the search is given before a segment that begins in speech (see lead_in); 10 ms each.
// Tight takes read the same with 5, 10 or 20.
inline constexpr std::size_t lead_in_frames = 10;

// The search takes every utterance to begin in quiet, and the detector starts each segment that follows a
// pause with some. A segment that begins in speech (a take whose first word starts at its first sample, or
// a segment cut at max_segment_frames) would have its first sounds taken for that quiet, and its first word
// lost. So when the first of a segment's frames (`width` values each, c0 first) has a c0 of at least
// `floor`, lead_in_frames copies of `quiet` (one frame: the upload's quietest) are put before it in
// `segment`. Returns how many frames were put there (0 or lead_in_frames).
std::size_t lead_in(std::vector<float>& segment, std::size_t width, const std::vector<float>& quiet,
                    float floor);

// The recogniser's front end (framing, filter bank, noise and silence removal, cepstra), set up from the
// decoder's own configuration so that the frames are exactly those the decoder would compute itself.
// Not thread-safe: one caller at a time.
class FrontEnd {
public:
    // Called for each frame of speech, in order; `starts_segment` marks the first frame after a pause found
    // by the voice activity detector (or after max_segment_frames without one). Valid during the call only.
    using FrameSink = std::function<void(const float* cepstrum, bool starts_segment)>;

    // Throws std::runtime_error if the front end cannot be built from `config` (not retained).
    explicit FrontEnd(cmd_ln_s* config);
    ~FrontEnd();
    FrontEnd(const FrontEnd&) = delete;
    FrontEnd& operator=(const FrontEnd&) = delete;

    // Values per frame.
    std::size_t width() const;
    // Plays `audio` through the front end, started afresh (its noise estimate included), so the frames
    // depend on the audio alone and every run gives the same. Memory stays a few blocks whatever the
    // audio's length. Throws std::runtime_error if the front end reports a failure.
    // `paused`, if given, is called as soon as the detector ends a segment at a pause, before later audio
    // is heard, so that a caller fed as audio arrives can search the segment while the speaker goes on.
    void run(const SampleSource& audio, const FrameSink& sink, const std::function<void()>& paused = {});

private:
    fe_s* fe_ = nullptr;
};

}  // namespace server
