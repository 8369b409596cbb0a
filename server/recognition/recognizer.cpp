#include "server/recognition/recognizer.h"

#include <pocketsphinx.h>
#include <sphinxbase/ckd_alloc.h>
#include <sphinxbase/err.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <system_error>
#include <stdexcept>
#include <thread>

#include "server/recognition/command_words.h"
#include "server/recognition/listed_word_model.h"
#include "server/recognition/live_decoding.h"
#include "server/recognition/segment_preparation.h"

namespace server {
namespace {

std::vector<float> parse_mean(const char* listed) {
    std::vector<float> mean;
    std::istringstream in(listed == nullptr ? "" : listed);
    for (std::string value; std::getline(in, value, ',');) mean.push_back(std::stof(value));
    return mean;
}

ps_decoder_t* load_decoder(const std::string& model_dir, const LearntLanguage& language,
                           const std::vector<WordSound>& listed) {
    const std::string hmm = model_dir + "/en-us/en-us";
    const std::string lm = model_dir + "/en-us/en-us.lm.bin";
    const std::string dict = model_dir + "/en-us/cmudict-en-us.dict";
    // The decoder normalises nothing itself: transcribe() removes each upload's own mean from the cepstra.
    // The search is narrower than the engine's default and skips its second, flat-lexicon pass: measured on
    // read speech this decodes a sentence in about a third of the time, with fewer errors on the engine's
    // test recordings and about as many on telephone-band prompts (see the README's quality figures).
    // clang-format off
    std::vector<std::string> options{
        "-hmm", hmm, "-dict", dict, "-cmn", "none",
        "-fwdflat", "no", "-maxhmmpf", "2000", "-topn", "2", "-maxwpf", "10",
        "-logfn", "/dev/null"};
    // clang-format on
    std::vector<char*> argv;
    for (auto& option : options) argv.push_back(option.data());
    cmd_ln_t* config = cmd_ln_parse_r(nullptr, ps_args(), static_cast<int>(argv.size()), argv.data(), TRUE);
    if (config == nullptr) throw std::runtime_error("cannot configure the recogniser for " + model_dir);
    // The model folder's feature parameters are read here rather than by the decoder, which would read
    // them over the options above and so normalise each utterance itself (its feature parameters ask for
    // that). transcribe() does the same normalisation itself; transcribe_live() must, since the engine's
    // incremental form of it carries a mean from one upload to the next.
    const std::string features = hmm + "/feat.params";
    if (cmd_ln_parse_file_r(config, ps_args(), features.c_str(), FALSE) == nullptr) {
        cmd_ln_free_r(config);
        throw std::runtime_error("cannot load the speech model from " + model_dir + " (cannot read " +
                                 features + ")");
    }
    cmd_ln_set_str_r(config, "-cmn", "none");
    cmd_ln_set_str_r(config, "-featparams", "/dev/null");
    ps_decoder_t* decoder = ps_init(config);
    cmd_ln_free_r(config);  // the decoder holds its own reference
    if (decoder == nullptr) {
        throw std::runtime_error("cannot load the speech model from " + model_dir +
                                 " (needs en-us/en-us/, en-us/en-us.lm.bin and en-us/cmudict-en-us.dict)");
    }
    // The language model, with the spoken punctuation commands and the user's own words given weight enough
    // to be heard.
    try {
        add_listed_words(decoder, listed);
        add_learnt_words(decoder, language.words);
        listen_for_commands(decoder, lm, listed_word_model(listed), language);
    } catch (...) {
        ps_free(decoder);
        throw;
    }
    return decoder;
}

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point began) {
    return std::chrono::duration<double>(Clock::now() - began).count();
}

// Joins a thread on every way out, before the lanes it uses are given back (declare it after them).
struct Joiner {
    std::thread thread;
    ~Joiner() {
        if (thread.joinable()) thread.join();
    }
};

}  // namespace

std::string default_model_dir() { return DICTATE_SERVER_MODEL_DIR; }

unsigned default_decoder_count() { return std::clamp(std::thread::hardware_concurrency(), 1u, 2u); }

Recognizer::Recognizer(const std::string& model_dir, unsigned decoders, std::size_t tail_frames,
                       ThreadStarter threads, const std::vector<WordSound>& listed)
    : Recognizer(model_dir, LearntLanguage{}, decoders, tail_frames, std::move(threads), listed) {}

Recognizer::Recognizer(const std::string& model_dir, const LearntLanguage& language, unsigned decoders,
                       std::size_t tail_frames, ThreadStarter threads, const std::vector<WordSound>& listed)
    : tail_frames_(tail_frames), threads_(std::move(threads)) {
    // Before anything can log: the configuration parser itself prints to stderr otherwise.
    err_set_logfp(nullptr);
    std::vector<std::unique_ptr<DecoderLane>> lanes;
    for (unsigned i = 0; i < std::max(decoders, 1u); ++i) {
        auto lane = std::make_unique<DecoderLane>();
        lane->decoder = load_decoder(model_dir, language, listed);
        lane->front_end = std::make_unique<FrontEnd>(ps_get_config(lane->decoder));
        lanes.push_back(std::move(lane));
    }
    lanes_ = std::make_unique<DecoderLanes>(std::move(lanes));
    // The model folder's feature parameters fill in the initial mean when the decoder loads.
    model_mean_ = parse_mean(cmd_ln_str_r(ps_get_config(lanes_->first().decoder), "-cmninit"));
}

Recognizer::~Recognizer() = default;

bool Recognizer::knows_word(const std::string& word) const {
    // Reads the dictionary only, which no search changes once the decoders are loaded.
    char* phones = ps_lookup_word(lanes_->first().decoder, word.c_str());
    const bool known = phones != nullptr;
    ckd_free(phones);
    return known;
}

Transcript Recognizer::transcribe(const SampleSource& audio) {
    DecodeStages ignored;
    return transcribe(audio, ignored);
}

Recognizer::SearchFrames Recognizer::frames_of(const SampleSource& audio) {
    DecoderLane* own = lanes_->take(true);
    LaneLoan own_loan(*lanes_, own);
    FrontEnd& front_end = *own->front_end;
    SearchFrames result;
    result.width = front_end.width();
    // The same passes and the same preparation as transcribe().
    const WholeTake take = survey_whole_take(front_end, audio, model_mean_);
    result.mean = take.mean;
    const SegmentPreparation preparation(result.width, tail_frames_);
    std::vector<float> segment;
    const auto keep_segment = [&] {
        const PreparedSegment prepared =
            preparation.prepare(segment, take.range, take.mean, SegmentMean::then_its_own);
        result.starts.push_back(result.frames());
        result.cepstra.insert(result.cepstra.end(), prepared.frames.begin(), prepared.frames.end());
        segment.clear();
    };
    if (take.frames == 0) return result;
    front_end.run(audio, [&](const float* cepstrum, bool starts_segment) {
        if (starts_segment && !segment.empty()) keep_segment();
        segment.insert(segment.end(), cepstrum, cepstrum + result.width);
    });
    if (!segment.empty()) keep_segment();
    return result;
}

std::string Recognizer::transcribe(std::span<const std::int16_t> samples) {
    DecodeStages ignored;
    return transcribe(samples, ignored);
}

std::string Recognizer::transcribe(std::span<const std::int16_t> samples, DecodeStages& stages) {
    return transcribe(SampleSpan(samples), stages).words;
}

Transcript Recognizer::transcribe(const SampleSource& audio, DecodeStages& stages) {
    Transcript result;
    const auto queued = Clock::now();
    DecoderLane* own = lanes_->take(true);
    LaneLoan own_loan(*lanes_, own);
    result.queue_seconds = seconds_since(queued);
    const auto began = Clock::now();

    // The loudness range of the speech, how many segments it has, and the mean of its loud frames.
    const WholeTake take = survey_whole_take(*own->front_end, audio, model_mean_);
    const std::size_t segments = take.segments;
    const SegmentPreparation preparation(own->front_end->width(), tail_frames_);
    stages = DecodeStages{};
    stages.segments = segments;
    const auto searching = Clock::now();
    stages.front_end_seconds = std::chrono::duration<double>(searching - began).count();

    // Last pass: each segment is searched by whichever lane reaches its end first; both lanes play the
    // audio through their own front ends, which give the same frames.
    std::vector<std::string> words(segments);
    std::atomic<std::size_t> unclaimed{0};  // every segment before it is taken
    std::atomic<std::size_t> searched{0};
    std::atomic<std::size_t> trimmed{0};
    auto work = [&](DecoderLane& lane) {
        std::vector<float> segment;
        std::size_t index = 0;
        auto finish = [&] {
            if (segment.empty()) return;
            std::size_t expected = index;
            if (unclaimed.compare_exchange_strong(expected, index + 1)) {
                PreparedSegment prepared =
                    preparation.prepare(segment, take.range, take.mean, SegmentMean::then_its_own);
                words[index] = lane.search(prepared.frames, preparation.width());
                searched += prepared.frames.size() / preparation.width();
                trimmed += segment.size() / preparation.width() - prepared.kept;
            }
            segment.clear();
            ++index;
        };
        lane.front_end->run(audio, [&](const float* cepstrum, bool starts_segment) {
            if (starts_segment) finish();
            if (unclaimed >= segments) return;  // all taken: nothing left for this lane
            segment.insert(segment.end(), cepstrum, cepstrum + preparation.width());
        });
        finish();
    };
    if (segments == 0) return result;  // nothing but silence: nothing to search
    // A second idle decoder, if there is one, takes segments on another core.
    DecoderLane* helper = segments > 1 ? lanes_->take(false) : nullptr;
    LaneLoan helper_loan(*lanes_, helper);
    std::exception_ptr helper_failure;
    Joiner helping;
    if (helper != nullptr) {
        try {
            helping.thread = threads_([&] {
                try {
                    work(*helper);
                } catch (...) {
                    helper_failure = std::current_exception();
                    unclaimed = segments;
                }
            });
        } catch (const std::system_error& failure) {
            throw EngineUnavailable(std::string("cannot start a decoding thread: ") + failure.what());
        }
    }
    try {
        work(*own);
    } catch (...) {
        unclaimed = segments;
        throw;
    }
    if (helping.thread.joinable()) helping.thread.join();
    if (helper_failure) std::rethrow_exception(helper_failure);

    stages.frames = searched;
    stages.trimmed_frames = trimmed;
    stages.search_seconds = seconds_since(searching);
    for (const auto& segment_words : words) {
        if (segment_words.empty()) continue;
        if (!result.words.empty()) result.words.push_back(' ');
        result.words += segment_words;
    }
    return result;
}

Transcript Recognizer::transcribe_live(const SampleSource& audio, std::string_view series,
                                       const WordsSoFar& words_so_far) {
    DecodeStages ignored;
    return transcribe_live(audio, series, ignored, words_so_far);
}

Transcript Recognizer::transcribe_live(const SampleSource& audio, std::string_view series,
                                       DecodeStages& stages, const WordsSoFar& words_so_far) {
    if (!is_series_id(series)) series = {};
    Transcript result;
    const auto queued = Clock::now();
    DecoderLane* lane = lanes_->take_for(audio);
    if (lane == nullptr) throw std::runtime_error("the upload ended before a decoder was free");
    LaneLoan loan(*lanes_, lane);
    result.queue_seconds = seconds_since(queued);
    stages = DecodeStages{};
    // Destroyed before the loan gives the lane back: it waits for its own helper first.
    std::optional<SeriesHistory> history;
    if (!series.empty()) history = series_.history(series);
    LiveDecoding live(*lanes_, *lane, threads_, tail_frames_, model_mean_, stages, std::move(history),
                      words_so_far);
    result.words = live.run(audio);
    if (!series.empty()) {
        if (auto learnt = live.learnt()) series_.learn(series, *learnt);
    }
    return result;
}

}  // namespace server
