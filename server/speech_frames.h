#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

struct fe_s;
struct cmd_ln_s;

namespace server {

// The cepstra of an upload's speech, cut at the pauses the front end's voice activity detector finds.
// Frames are stored one after another, `width` coefficients each; silence between segments is left out.
struct SpeechFrames {
    struct Segment {
        std::size_t first = 0;  // index of the segment's first frame
        std::size_t count = 0;  // frames in the segment
    };
    std::size_t width = 0;
    std::vector<float> cepstra;
    std::vector<Segment> segments;

    std::size_t frames() const { return width == 0 ? 0 : cepstra.size() / width; }
    float* frame(std::size_t index) { return cepstra.data() + index * width; }
    const float* frame(std::size_t index) const { return cepstra.data() + index * width; }
};

// The average cepstrum of the loud frames of `speech`, or `fallback` when there are too few of them.
std::vector<float> cepstral_mean(const SpeechFrames& speech, const std::vector<float>& fallback);

// Subtracts the average cepstrum of the loud frames of `speech` from every frame, so the features match the
// model whatever the microphone, voice and room. When there are too few loud frames to estimate it (a word
// or two, silence), `fallback`, the model's own estimate, is subtracted instead; it must have `width` values.
void remove_cepstral_mean(SpeechFrames& speech, const std::vector<float>& fallback);

// Shortens every segment so it ends `keep` frames after its last loud frame: one whose log energy (c0) is
// at least `share_of_range` of the way from the upload's quietest frame to its loudest. The detector holds
// half a second of silence after speech before it ends a segment, and searching that silence costs time
// without adding words. A segment without a loud frame is left whole. The frames stay in `cepstra`; only
// the segments' counts shrink. Returns the number of frames left out.
std::size_t trim_quiet_tails(SpeechFrames& speech, std::size_t keep, float share_of_range);

// The recogniser's front end (framing, filter bank, noise and silence removal, cepstra), set up from the
// decoder's own configuration so that the frames are exactly those the decoder would compute itself.
// Not thread-safe: one caller at a time.
class FrontEnd {
public:
    // Throws std::runtime_error if the front end cannot be built from `config` (not retained).
    explicit FrontEnd(cmd_ln_s* config);
    ~FrontEnd();
    FrontEnd(const FrontEnd&) = delete;
    FrontEnd& operator=(const FrontEnd&) = delete;

    // Every call starts the front end afresh (its noise estimate included), so the result depends on
    // `samples` alone. Throws std::runtime_error if the front end reports a failure.
    SpeechFrames speech_of(std::span<const std::int16_t> samples);

private:
    fe_s* fe_ = nullptr;
};

}  // namespace server
