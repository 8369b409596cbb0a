#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace server {

// 16 kHz mono 16-bit audio that can be heard from its start as often as needed, so that an engine can take
// several passes over an upload without ever holding all of it.
class SampleSource {
public:
    using Sink = std::function<void(std::span<const std::int16_t> block)>;
    virtual ~SampleSource() = default;
    // Passes every sample, in order, to `sink`, a block of any size at a time. Each call gives the same
    // samples, and calls may run on several threads at once. Throws std::runtime_error naming the failed
    // step; an exception thrown by `sink` passes through.
    virtual void play(const Sink& sink) const = 0;
    // Whether the audio will never be whole (a client gone before the end of its upload): an engine
    // waiting to start on it may stop waiting. Any thread.
    virtual bool abandoned() const { return false; }
};

// Samples already in memory; `samples` must outlive it.
class SampleSpan final : public SampleSource {
public:
    explicit SampleSpan(std::span<const std::int16_t> samples) : samples_(samples) {}
    void play(const Sink& sink) const override {
        constexpr std::size_t block = 16384;
        for (std::size_t at = 0; at < samples_.size(); at += block)
            sink(samples_.subspan(at, std::min(block, samples_.size() - at)));
    }

private:
    std::span<const std::int16_t> samples_;
};

// The engine could not take the audio for want of a system resource (a thread); nothing of it is held and
// a later call may succeed.
class EngineUnavailable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Told the words of audio still arriving as they become final (see SpeechToText::transcribe_live).
using WordsSoFar = std::function<void(const std::string& words)>;

struct Transcript {
    std::string words;           // separated by single spaces; empty when nothing was recognised
    double queue_seconds = 0.0;  // the wait for a free decoder
};

// Turns speech into words. The request handling depends on this seam only, so that a fuzzer can drive it
// without loading a model.
class SpeechToText {
public:
    virtual ~SpeechToText() = default;
    // Safe to call from any thread; a call waits while every decoder is busy with other audio (the engine
    // is the one place decodes are scheduled). Throws EngineUnavailable as above, or std::runtime_error
    // naming the failed step if decoding breaks down.
    virtual Transcript transcribe(const SampleSource& audio) = 0;
    // The same for audio still arriving, whose play() waits for it: an engine that can search while it
    // arrives does, so that little is left once it ends. `series` names the takes of one speaker that this
    // one follows (see TakeSeries), empty for a take of its own; an engine may learn from a series' takes
    // to search its next ones sooner. `words_so_far`, when given, is called on the decoding thread with all
    // the words heard so far each time a segment's words are final, and once more with the whole transcript
    // at the end; it must return soon, as the decoding waits for it. By default, transcribe(), its words
    // told once.
    virtual Transcript transcribe_live(const SampleSource& audio, std::string_view series,
                                       const WordsSoFar& words_so_far = {}) {
        static_cast<void>(series);
        Transcript heard = transcribe(audio);
        if (words_so_far) words_so_far(heard.words);
        return heard;
    }
};

}  // namespace server
