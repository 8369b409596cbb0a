#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "server/recognition/decoder_lanes.h"
#include "server/recognition/segment_preparation.h"
#include "server/recognition/speech_frames.h"
#include "server/recognition/speech_to_text.h"
#include "server/recognition/take_series.h"

namespace server {

// Decoding of audio still arriving (a SampleSource whose play() waits for it): one pass through the front
// end that searches each segment as soon as a pause ends it, normalised with the loudness range and the
// cepstral mean of the audio heard so far (see RunningCepstralMean), so that when the audio ends only its
// last segment is left to search.
//
// The engine's search can take frames as they come, but the normalisation that reads best is a whole
// segment's (see remove_utterance_mean): measured on the two word-error sets, starting a segment's search
// three seconds into it, with the mean heard by then, raised word error from 18.5 % to 27 %. So each
// segment is searched whole, with the mean of all of it.
//
// The detector ends a segment only after half a second of quiet, and a person often presses Enter sooner.
// Quiet frames leave the mean as it is, so once the quiet after a segment's last loud frame is longer than
// the tail a search keeps, the segment is searched as it stands ("early"). If by the segment's end nothing
// has changed what that search was given (PreparedSegment::same_search), its words are those a search at
// the end would find; otherwise the segment is searched again.
//
// A take that follows others of its speaker (a SeriesHistory) need not wait for a segment to end: its
// normalisation is known before its speech comes, the history's mean blended with the take's own as it
// grows (fixed for each segment when it starts), and the loudness range starts as the history's. So each
// segment is searched as its frames arrive: quiet frames are held back until speech follows them, and at
// the segment's end only the part of the quiet tail a search keeps, and the search's own ending, remain.
//
// An early search runs on a second lane, on a thread of its own, when one is idle, so that the frames keep
// coming meanwhile and a later early search (the speech went on after a pause) need not wait for one that
// has come to nothing; otherwise it runs on the upload's own lane.
//
// One object decodes one upload, on the thread that calls run().
class LiveDecoding {
public:
    // `own` is the upload's lane, taken from `lanes` by the caller and given back after this is destroyed;
    // `lanes` lends a second one for early searches. `fallback` is the model's cepstral mean. `stages` is
    // filled in as the decoding goes; all of them must outlive this.
    // With a `history`, segments are searched as they arrive (see above); without, exactly as before.
    // `words_so_far`, when given, is told the words so far on run()'s thread each time a segment's words
    // are final, and once more at the end.
    LiveDecoding(DecoderLanes& lanes, DecoderLane& own, ThreadStarter threads, std::size_t tail_frames,
                 const std::vector<float>& fallback, DecodeStages& stages,
                 std::optional<SeriesHistory> history = std::nullopt, WordsSoFar words_so_far = {});
    // Waits for an early search still running and gives its lane back, on every way out.
    ~LiveDecoding();
    LiveDecoding(const LiveDecoding&) = delete;
    LiveDecoding& operator=(const LiveDecoding&) = delete;

    // Plays `audio` once and returns its words, segment after segment. Throws as FrontEnd::run does, or
    // what a search threw.
    std::string run(const SampleSource& audio);
    // After run(): what the take teaches its series (takes == 1), or nothing when its speech was too little
    // to estimate a mean of its own.
    std::optional<SeriesHistory> learnt() const;

private:
    // A search given to one lane, and what came of it.
    struct Search {
        PreparedSegment input;
        std::string words;
        std::exception_ptr failure;
    };

    void hear(const float* cepstrum, bool starts_segment);
    // With a history: the frame goes to the segment's search as soon as it is known to be kept.
    void hear_searching(const float* cepstrum);
    // The mean a segment starting now is normalised with: the history's, blended with the take's own.
    std::vector<float> blended_mean() const;
    // Normalises the first `count` frames held back and gives them to the search (begun with the first),
    // dropping the rest.
    void feed_held(std::size_t count);
    std::string end_search();
    // The segment has ended: its words, from its early search when that was given the same frames.
    void finish_segment();
    // Called on each quiet frame: searches the segment as it stands once its quiet tail is long enough.
    void maybe_search_early();
    // The speech went on: the early search so far counts as wasted.
    void give_up_early();
    std::shared_ptr<Search> prepared_now() const;
    void search_here(Search& search);
    // True when a second lane took the search.
    bool search_on_helper(const std::shared_ptr<Search>& search);
    // Waits for the second lane's search, if any, and gives the lane back.
    void let_helper_go();

    DecoderLanes& lanes_;
    DecoderLane& own_;
    ThreadStarter threads_;
    SegmentPreparation preparation_;
    DecodeStages& stages_;
    RunningCepstralMean running_;
    LoudnessRange range_;
    std::vector<float> segment_;  // the frames of the segment so far
    std::string words_;
    WordsSoFar words_so_far_;

    std::optional<SeriesHistory> history_;
    LoudnessRange own_range_;  // the take's alone, for its series
    std::size_t heard_ = 0;    // frames of the take so far
    bool searching_ = false;   // the segment has begun: its mean is fixed
    bool begun_ = false;       // the engine's search of the segment has begun
    bool heard_loud_ = false;  // the segment has had a loud frame
    std::size_t fed_ = 0;      // frames the segment's search has been given, its lead included
    std::vector<float> segment_mean_;
    std::vector<float> held_;  // frames after the segment's last loud one (or all, before one), not yet fed

    std::shared_ptr<Search> early_;  // the current segment's early search, if any
    std::size_t wasted_ = 0;  // frames the segment's early searches were given before the speech went on
    std::shared_ptr<Search> on_helper_;  // the search the second lane runs or ran last
    DecoderLane* helper_ = nullptr;
    std::atomic<bool> helper_done_{true};
    std::thread helping_;
};

}  // namespace server
