#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "server/recognition/decoder_lanes.h"
#include "server/recognition/learnt_language.h"
#include "server/recognition/speech_to_text.h"
#include "server/recognition/take_series.h"
#include "server/recognition/word_sounds.h"

namespace server {

// The speech model folder as found at build time, used unless --model-dir says otherwise.
std::string default_model_dir();

// Decoders a recogniser loads by default: one per core, at most two. Each costs one more copy of the model
// in memory (see the README's figures).
unsigned default_decoder_count();

// Quiet frames a segment keeps after its last loud one (see trimmed_count); 10 ms each. Word error on both
// benchmark sets is the same from 10 to 25 (and much worse at 5); the shorter the tail, the sooner a
// segment whose speech is over can be searched while a take still streams in.
inline constexpr std::size_t default_tail_frames = 15;

// The offline recogniser: the US English acoustic model, language model and dictionary. The cepstral mean
// the acoustic model expects to be removed is estimated from each upload's own speech, so a speaker, a
// microphone or a room far from the model's training audio still matches it.
//
// The audio is never held whole: it is played three times through a decoder's front end, once for the
// loudness range of its speech, once for the mean of its loud frames, and once to search each segment as it
// comes, so memory per call is a segment's frames and the search's own, whatever the audio's length.
class Recognizer final : public SpeechToText {
public:
    // Loads `decoders` copies (at least one) of the model from `model_dir` (its en-us/ folder); a fraction of
    // a second each. Throws std::runtime_error naming the folder when a model file is missing or
    // unreadable. The engine's own logging is silenced.
    // Each segment is searched up to `tail_frames` frames past its last loud frame (SIZE_MAX: to the end the
    // detector gave it). `threads` starts the helper thread a call uses when a second decoder is free.
    // `listed`: the user's own words (see word_sounds.h), heard as one word each and given weight enough.
    explicit Recognizer(const std::string& model_dir, unsigned decoders = default_decoder_count(),
                        std::size_t tail_frames = default_tail_frames, ThreadStarter threads = start_thread,
                        const std::vector<WordSound>& listed = {});
    // The same, searching with the general language model mixed with one learnt from the user's writing.
    Recognizer(const std::string& model_dir, const LearntLanguage& language,
               unsigned decoders = default_decoder_count(), std::size_t tail_frames = default_tail_frames,
               ThreadStarter threads = start_thread, const std::vector<WordSound>& listed = {});
    ~Recognizer() override;
    Recognizer(const Recognizer&) = delete;
    // Whether the decoders' dictionary (all are loaded alike) has `word`. Any thread; exposed for its test.
    bool knows_word(const std::string& word) const;
    Recognizer& operator=(const Recognizer&) = delete;

    // Splits the audio into utterances at the pauses the front end's voice activity detector finds, decodes
    // them and joins their transcripts in order. Every utterance is decoded from the same initial state,
    // so the result depends on the audio alone, whichever decoder takes it. A call waits for a free decoder,
    // and shares its utterances with a second one if that is free too. Every decoder taken is given back on
    // every way out; when the helper thread cannot be started the call throws EngineUnavailable.
    Transcript transcribe(const SampleSource& audio) override;
    // The same, saying where the time went.
    Transcript transcribe(const SampleSource& audio, DecodeStages& stages);
    // For audio still arriving (a SampleSource whose play() waits for it): see LiveDecoding. A segment
    // whose speech seems over is searched before the detector ends it, and those words are kept only when
    // a search at its end would be given the same frames and mean (stages.searched_early). Early segments
    // may read a little differently from transcribe(); segments after the first half-second of loud speech
    // are normalised from the speaker's own voice. Takes one decoder for as long as the audio lasts
    // (waiting for one like transcribe(), unless the audio is abandoned meanwhile, when it throws
    // std::runtime_error), and another one, when one is idle, for each early search, on a thread of its
    // own (started through `threads`). Throws as transcribe() does.
    //
    // A take of a `series` (see is_series_id; anything else counts as none) that follows another of its
    // takes is searched as it arrives from the start, normalised with what its earlier takes taught (see
    // LiveDecoding); the first of a series, and a take of none, are decoded exactly as above. Every take of
    // a series with speech enough teaches it, once it is decoded. `words_so_far`: see SpeechToText.
    Transcript transcribe_live(const SampleSource& audio, std::string_view series,
                               const WordsSoFar& words_so_far = {}) override;
    Transcript transcribe_live(const SampleSource& audio, std::string_view series, DecodeStages& stages,
                               const WordsSoFar& words_so_far = {});
    // What the recogniser keeps of each series.
    TakeSeries& series() { return series_; }
    // Samples in memory, for tests and benchmarks.
    std::string transcribe(std::span<const std::int16_t> samples);
    std::string transcribe(std::span<const std::int16_t> samples, DecodeStages& stages);
    // What transcribe() gives the search for `audio`, frame for frame, so that adaptation trains on exactly
    // what decoding looks at: every segment as SegmentPreparation makes it (quiet tail trimmed, quiet put
    // before one that begins in speech, both steps of the normalisation), one after another, and the
    // upload's cepstral mean (the model's own where it has too little loud speech). Holds all the frames:
    // for takes of a speaker's enrolment, not for uploads. Waits for a free decoder like transcribe().
    struct SearchFrames {
        std::size_t width = 0;
        std::vector<float> cepstra;       // `width` values a frame
        std::vector<std::size_t> starts;  // the first frame of each segment
        std::vector<float> mean;          // the upload's mean, the first step of the normalisation
        std::size_t frames() const { return width == 0 ? 0 : cepstra.size() / width; }
    };
    SearchFrames frames_of(const SampleSource& audio);

private:
    std::size_t tail_frames_;
    ThreadStarter threads_;
    std::unique_ptr<DecoderLanes> lanes_;
    // The model's own estimate of the cepstral mean, used when an upload has too little speech for its own.
    std::vector<float> model_mean_;
    TakeSeries series_;
};

}  // namespace server
