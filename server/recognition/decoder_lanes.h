#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/recognition/speech_frames.h"
#include "server/recognition/speech_to_text.h"

struct ps_decoder_s;

namespace server {

// Starts a thread running `work`; throws std::system_error when the system has no thread to give. A seam
// so that tests can make it fail.
using ThreadStarter = std::function<std::thread(std::function<void()> work)>;
std::thread start_thread(std::function<void()> work);

// Where one call's decoding spent its time, for benchmarks and the log.
struct DecodeStages {
    double front_end_seconds = 0;  // the passes that measure loudness and the cepstral mean
    double search_seconds = 0;     // the searches over every segment, on however many decoders
    std::size_t segments = 0;
    std::size_t frames = 0;          // frames searched
    std::size_t trimmed_frames = 0;  // quiet frames after speech left out of the search
    std::size_t searched_early = 0;  // decoding as it arrives: segments whose search began before they ended
};

// A decoder and a front end of its own, so that every call can play its audio on its own thread. One
// thread at a time.
struct DecoderLane {
    ps_decoder_s* decoder = nullptr;  // owned
    std::unique_ptr<FrontEnd> front_end;

    DecoderLane() = default;
    ~DecoderLane();
    DecoderLane(const DecoderLane&) = delete;
    DecoderLane& operator=(const DecoderLane&) = delete;

    // One utterance's words, from a fresh search over `frames` (`width` values a frame, one after another,
    // exactly as SegmentPreparation gives them; the search may write to them). Throws std::runtime_error
    // naming the engine's step that failed.
    std::string search(std::vector<float>& frames, std::size_t width) const;

    // The same search given its frames a few at a time as they come: begin(), then feed() any number of
    // times, then end(): the words of all the frames fed (the first and last frames' dynamic features are
    // those of a stream, so they may read a little differently from search() over the same frames). Each
    // throws std::runtime_error naming the engine's step that failed; after a failure, begin() again.
    void begin() const;
    void feed(std::vector<float>& frames, std::size_t width) const;
    std::string end() const;
};

// The recogniser's lanes, each given to one call at a time. Any thread.
class DecoderLanes {
public:
    explicit DecoderLanes(std::vector<std::unique_ptr<DecoderLane>> lanes);

    const DecoderLane& first() const { return *lanes_.front(); }
    // A free lane: waits for one when `wait`, else nullptr when none is idle.
    DecoderLane* take(bool wait);
    // Waits for a free lane while `audio` is not abandoned; nullptr once it is.
    DecoderLane* take_for(const SampleSource& audio);
    void give_back(DecoderLane* lane);

private:
    std::vector<std::unique_ptr<DecoderLane>> lanes_;
    std::mutex mutex_;
    std::condition_variable released_;
    std::vector<DecoderLane*> idle_;
};

// Gives a lane back to its pool on every way out of the scope that took it; nothing for nullptr.
class LaneLoan {
public:
    LaneLoan(DecoderLanes& lanes, DecoderLane* lane) : lanes_(lanes), lane_(lane) {}
    ~LaneLoan() {
        if (lane_ != nullptr) lanes_.give_back(lane_);
    }
    LaneLoan(const LaneLoan&) = delete;
    LaneLoan& operator=(const LaneLoan&) = delete;

private:
    DecoderLanes& lanes_;
    DecoderLane* lane_;
};

}  // namespace server
