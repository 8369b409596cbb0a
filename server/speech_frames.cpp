#include "server/speech_frames.h"

#include <sphinxbase/fe.h>

#include <stdexcept>
#include <string>
#include <type_traits>

namespace server {
namespace {

// The cepstra are plain floats in this build of the engine, which is what SpeechFrames holds.
static_assert(std::is_same_v<mfcc_t, float>);

void check(int status, const char* step) {
    if (status < 0) throw std::runtime_error(std::string(step) + " failed (" + std::to_string(status) + ")");
}

}  // namespace

FrontEnd::FrontEnd(cmd_ln_s* config) : fe_(fe_init_auto_r(config)) {
    if (fe_ == nullptr) throw std::runtime_error("cannot set up the recogniser's front end");
}

FrontEnd::~FrontEnd() { fe_free(fe_); }

SpeechFrames FrontEnd::speech_of(std::span<const std::int16_t> samples) {
    SpeechFrames out;
    out.width = static_cast<std::size_t>(fe_get_output_size(fe_));
    std::vector<float> row(out.width);
    float* rows[1] = {row.data()};
    bool open = false;  // a segment has frames and has not ended yet
    auto take = [&](int frames) {
        if (frames == 0) return;
        if (!open) out.segments.push_back({out.frames(), 0});
        out.cepstra.insert(out.cepstra.end(), row.begin(), row.end());
        ++out.segments.back().count;
        open = true;
    };

    fe_start_stream(fe_);
    check(fe_start_utt(fe_), "fe_start_utt");
    const std::int16_t* next = samples.data();
    std::size_t left = samples.size();
    // One frame per call: the detector's state after each frame tells where a pause ends a segment. Frames
    // held back while the detector decides come out on later calls, including after the input runs out.
    for (;;) {
        int frames = 1;
        int first_index = 0;
        const std::size_t left_before = left;
        check(fe_process_frames(fe_, &next, &left, rows, &frames, &first_index), "fe_process_frames");
        take(frames);
        if (fe_get_vad_state(fe_) == 0) open = false;
        if (frames == 0 && left == left_before) break;  // nothing consumed and nothing queued: done
    }
    int frames = 0;
    check(fe_end_utt(fe_, row.data(), &frames), "fe_end_utt");
    if (fe_get_vad_state(fe_) != 0) take(frames);
    return out;
}

}  // namespace server
