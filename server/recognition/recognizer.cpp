#include "server/recognition/recognizer.h"

#include <pocketsphinx.h>
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

namespace server {
namespace {

std::vector<float> parse_mean(const char* listed) {
    std::vector<float> mean;
    std::istringstream in(listed == nullptr ? "" : listed);
    for (std::string value; std::getline(in, value, ',');) mean.push_back(std::stof(value));
    return mean;
}

ps_decoder_t* load_decoder(const std::string& model_dir) {
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
    // The language model, with the spoken punctuation commands given weight enough to be heard.
    try {
        listen_for_commands(decoder, lm);
    } catch (...) {
        ps_free(decoder);
        throw;
    }
    return decoder;
}

// One utterance's words, from a fresh search over its frames (`width` values each, one after another).
std::string decode(ps_decoder_t* decoder, std::vector<float>& frames, std::size_t count, std::size_t width) {
    std::vector<float*> rows;
    for (std::size_t f = 0; f < count; ++f) rows.push_back(frames.data() + f * width);
    if (ps_start_utt(decoder) < 0) throw std::runtime_error("ps_start_utt failed");
    if (ps_process_cep(decoder, rows.data(), static_cast<int>(rows.size()), FALSE, TRUE) < 0) {
        ps_end_utt(decoder);
        throw std::runtime_error("ps_process_cep failed");
    }
    // The words are read from the word lattice the search builds when the utterance ends. The engine gives
    // up on that lattice, and so gives no words at all, when no word ends in the utterance's last frame
    // and the best ending just before is the end of the sentence: an utterance cut in the middle of a
    // sound, as a take whose last word runs to its end is. The best path through the search itself, read
    // before the utterance ends, is then the text.
    const char* searched = ps_get_hyp(decoder, nullptr);
    const std::string best_path = searched == nullptr ? "" : searched;
    if (ps_end_utt(decoder) < 0) throw std::runtime_error("ps_end_utt failed");
    const char* words = ps_get_hyp(decoder, nullptr);
    return words == nullptr ? best_path : words;
}

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point began) {
    return std::chrono::duration<double>(Clock::now() - began).count();
}

}  // namespace

// A decoder and a front end of its own, so that every call can play its audio on its own thread.
struct Recognizer::Lane {
    ps_decoder_s* decoder = nullptr;
    std::unique_ptr<FrontEnd> front_end;

    ~Lane() {
        front_end.reset();
        if (decoder != nullptr) ps_free(decoder);
    }
};

namespace {

// Gives a lane back to the pool on every way out of the scope that took it.
class LaneGuard {
public:
    LaneGuard(std::function<void(Recognizer::Lane*)> release, Recognizer::Lane* lane)
        : release_(std::move(release)), lane_(lane) {}
    ~LaneGuard() {
        if (lane_ != nullptr) release_(lane_);
    }
    LaneGuard(const LaneGuard&) = delete;
    LaneGuard& operator=(const LaneGuard&) = delete;

private:
    std::function<void(Recognizer::Lane*)> release_;
    Recognizer::Lane* lane_;
};

// Joins a thread on every way out, before the lanes it uses are given back (declare it after them).
struct Joiner {
    std::thread thread;
    ~Joiner() {
        if (thread.joinable()) thread.join();
    }
};

struct AtExit {
    std::function<void()> run;
    ~AtExit() { run(); }
};

}  // namespace

std::thread start_thread(std::function<void()> work) { return std::thread(std::move(work)); }

std::string default_model_dir() { return DICTATE_SERVER_MODEL_DIR; }

unsigned default_decoder_count() { return std::clamp(std::thread::hardware_concurrency(), 1u, 2u); }

Recognizer::Recognizer(const std::string& model_dir, unsigned decoders, std::size_t tail_frames,
                       ThreadStarter threads)
    : tail_frames_(tail_frames), threads_(std::move(threads)) {
    // Before anything can log: the configuration parser itself prints to stderr otherwise.
    err_set_logfp(nullptr);
    for (unsigned i = 0; i < std::max(decoders, 1u); ++i) {
        auto lane = std::make_unique<Lane>();
        lane->decoder = load_decoder(model_dir);
        lane->front_end = std::make_unique<FrontEnd>(ps_get_config(lane->decoder));
        lanes_.push_back(std::move(lane));
    }
    // The model folder's feature parameters fill in the initial mean when the decoder loads.
    model_mean_ = parse_mean(cmd_ln_str_r(ps_get_config(lanes_.front()->decoder), "-cmninit"));
    for (auto& lane : lanes_) idle_.push_back(lane.get());
}

Recognizer::~Recognizer() = default;

Recognizer::Lane* Recognizer::acquire(bool wait) {
    std::unique_lock lock(pool_mutex_);
    if (wait) lane_released_.wait(lock, [&] { return !idle_.empty(); });
    if (idle_.empty()) return nullptr;
    Lane* lane = idle_.back();
    idle_.pop_back();
    return lane;
}

Recognizer::Lane* Recognizer::acquire_for(const SampleSource& audio) {
    // A client that goes away does not tell the lanes' condition, so the wait looks again now and then.
    constexpr auto look_again = std::chrono::milliseconds(100);
    std::unique_lock lock(pool_mutex_);
    while (idle_.empty()) {
        if (audio.abandoned()) return nullptr;
        lane_released_.wait_for(lock, look_again);
    }
    Lane* lane = idle_.back();
    idle_.pop_back();
    return lane;
}

void Recognizer::release(Lane* lane) {
    {
        std::lock_guard lock(pool_mutex_);
        idle_.push_back(lane);
    }
    lane_released_.notify_one();
}

Transcript Recognizer::transcribe(const SampleSource& audio) {
    DecodeStages ignored;
    return transcribe(audio, ignored);
}

Recognizer::SearchFrames Recognizer::frames_of(const SampleSource& audio) {
    Lane* own = acquire(true);
    LaneGuard own_guard([this](Lane* lane) { release(lane); }, own);
    FrontEnd& front_end = *own->front_end;
    SearchFrames result;
    result.width = front_end.width();
    // The same passes as transcribe(): the loudness range, the mean of the loud frames, then the segments.
    float top = -1e30f;
    float bottom = 1e30f;
    std::vector<float> quietest;
    std::size_t frames = 0;
    front_end.run(audio, [&](const float* cepstrum, bool) {
        top = std::max(top, cepstrum[0]);
        if (cepstrum[0] < bottom) quietest.assign(cepstrum, cepstrum + result.width);
        bottom = std::min(bottom, cepstrum[0]);
        ++frames;
    });
    CepstralMean loud_mean(result.width, mean_floor(top));
    if (frames > 0) front_end.run(audio, [&](const float* cepstrum, bool) { loud_mean.add(cepstrum); });
    result.mean = loud_mean.result(frames, model_mean_);
    constexpr float loud_share = 0.5f;  // as transcribe() trims
    const float loud_floor = bottom + loud_share * (top - bottom);
    std::vector<float> segment;
    const auto keep_segment = [&] {
        const std::size_t count = segment.size() / result.width;
        std::size_t kept = trimmed_count(segment.data(), count, result.width, tail_frames_, loud_floor);
        kept += lead_in(segment, result.width, quietest, loud_floor);
        for (std::size_t f = 0; f < kept; ++f) {
            for (std::size_t i = 0; i < result.width; ++i)
                result.cepstra.push_back(segment[f * result.width + i] - result.mean[i]);
        }
        segment.clear();
    };
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
    const auto give_back = [this](Lane* lane) { release(lane); };
    Lane* own = acquire(true);
    LaneGuard own_guard(give_back, own);
    result.queue_seconds = seconds_since(queued);
    const auto began = Clock::now();

    // First pass: the loudness range of the speech, and how many segments it has.
    const std::size_t width = own->front_end->width();
    float top = -1e30f;
    float bottom = 1e30f;
    std::size_t frames = 0;
    std::size_t segments = 0;
    std::vector<float> quietest;  // the frame a segment that begins in speech is given quiet from
    own->front_end->run(audio, [&](const float* cepstrum, bool starts_segment) {
        top = std::max(top, cepstrum[0]);
        if (cepstrum[0] < bottom) quietest.assign(cepstrum, cepstrum + width);
        bottom = std::min(bottom, cepstrum[0]);
        ++frames;
        if (starts_segment) ++segments;
    });
    // Second pass: the mean of the loud frames, to be removed from every frame.
    CepstralMean loud_mean(width, mean_floor(top));
    if (frames > 0) own->front_end->run(audio, [&](const float* cepstrum, bool) { loud_mean.add(cepstrum); });
    const std::vector<float> mean = loud_mean.result(frames, model_mean_);
    // Halfway between the upload's silence and its loudest speech: on read sentences, the ends of words
    // fall below it only for a few frames, which the kept tail covers.
    constexpr float loud_share = 0.5f;
    const float loud_floor = bottom + loud_share * (top - bottom);
    stages.segments = segments;
    const auto searching = Clock::now();
    stages.front_end_seconds = std::chrono::duration<double>(searching - began).count();

    // Last pass: each segment is searched by whichever lane reaches its end first; both lanes play the
    // audio through their own front ends, which give the same frames.
    std::vector<std::string> words(segments);
    std::atomic<std::size_t> unclaimed{0};  // every segment before it is taken
    std::atomic<std::size_t> searched{0};
    std::atomic<std::size_t> trimmed{0};
    auto work = [&](Lane& lane) {
        std::vector<float> segment;
        std::size_t index = 0;
        auto finish = [&] {
            if (segment.empty()) return;
            std::size_t expected = index;
            if (unclaimed.compare_exchange_strong(expected, index + 1)) {
                const std::size_t count = segment.size() / width;
                const std::size_t kept =
                    trimmed_count(segment.data(), count, width, tail_frames_, loud_floor);
                const std::size_t given = kept + lead_in(segment, width, quietest, loud_floor);
                for (std::size_t f = 0; f < given; ++f) {
                    for (std::size_t i = 0; i < width; ++i) segment[f * width + i] -= mean[i];
                }
                remove_utterance_mean(segment.data(), given, width);
                words[index] = decode(lane.decoder, segment, given, width);
                searched += given;
                trimmed += count - kept;
            }
            segment.clear();
            ++index;
        };
        lane.front_end->run(audio, [&](const float* cepstrum, bool starts_segment) {
            if (starts_segment) finish();
            if (unclaimed >= segments) return;  // all taken: nothing left for this lane
            segment.insert(segment.end(), cepstrum, cepstrum + width);
        });
        finish();
    };
    stages.frames = stages.trimmed_frames = 0;
    stages.search_seconds = 0;
    if (segments == 0) return result;  // nothing but silence: nothing to search
    // A second idle decoder, if there is one, takes segments on another core.
    Lane* helper = segments > 1 ? acquire(false) : nullptr;
    LaneGuard helper_guard(give_back, helper);
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

Transcript Recognizer::transcribe_live(const SampleSource& audio) {
    DecodeStages ignored;
    return transcribe_live(audio, ignored);
}

Transcript Recognizer::transcribe_live(const SampleSource& audio, DecodeStages& stages) {
    Transcript result;
    const auto queued = Clock::now();
    Lane* lane = acquire_for(audio);
    if (lane == nullptr) throw std::runtime_error("the upload ended before a decoder was free");
    LaneGuard guard([this](Lane* taken) { release(taken); }, lane);
    result.queue_seconds = seconds_since(queued);

    const std::size_t width = lane->front_end->width();
    RunningCepstralMean running(width, model_mean_);
    float top = -1e30f;
    float bottom = 1e30f;
    std::vector<float> quietest;  // the quiet a segment that begins in speech is given (see lead_in)
    std::vector<float> segment;
    stages = DecodeStages{};
    constexpr float loud_share = 0.5f;  // as in transcribe()
    auto loud_floor = [&] { return bottom + loud_share * (top - bottom); };
    // The engine's search can take frames as they come, but the normalisation that reads best is a whole
    // segment's (see remove_utterance_mean): measured on the two word-error sets, starting a segment's
    // search three seconds into it, with the mean heard by then, raised word error from 18.5 % to 27 %.
    // So each segment is searched whole, with the mean of all of it.
    //
    // The detector ends a segment only after half a second of quiet, and a person often presses Enter
    // sooner. Quiet frames leave the mean as it is, so once the quiet after a segment's last loud frame is
    // longer than the tail a search keeps, the segment is searched as it stands. If by the segment's end
    // nothing has changed what that search was given (the frames kept, the quiet put before them and the
    // mean removed from them), its
    // words are those a search at the end would find; otherwise the segment is searched again.
    //
    // An early search runs on the other decoder, on a thread of its own, when that one is idle, so that the
    // frames keep coming meanwhile and a later early search (the speech went on after a pause) need not
    // wait for one that has come to nothing; otherwise it runs here, on this upload's own decoder.
    struct Search {
        std::vector<float> mean;
        std::size_t kept = 0;
        std::vector<float> lead;    // the quiet frame put before them, if the segment begins in speech
        std::vector<float> frames;  // that quiet and the kept frames, with the mean removed
        std::string words;
        std::exception_ptr failure;
    };
    std::shared_ptr<Search> early;
    std::size_t wasted = 0;  // frames the segment's early searches were given before the speech went on
    std::shared_ptr<Search> on_helper;  // the search the other decoder runs or ran last
    Lane* helper = nullptr;
    std::atomic<bool> helper_done{true};
    Joiner helping;
    auto let_helper_go = [&] {
        if (helping.thread.joinable()) helping.thread.join();
        if (helper != nullptr) release(helper);
        helper = nullptr;
        on_helper.reset();
    };
    const AtExit helper_guard{let_helper_go};  // on every way out
    auto lead_now = [&] {
        return !segment.empty() && segment[0] >= loud_floor() ? quietest : std::vector<float>{};
    };
    auto prepared = [&](std::vector<float> mean, std::size_t kept) {
        auto input = std::make_shared<Search>();
        input->mean = std::move(mean);
        input->kept = kept;
        input->frames.assign(segment.begin(), segment.begin() + static_cast<std::ptrdiff_t>(kept * width));
        if (lead_in(input->frames, width, quietest, loud_floor()) > 0) input->lead = quietest;
        for (std::size_t f = 0; f < input->frames.size() / width; ++f) {
            for (std::size_t i = 0; i < width; ++i) input->frames[f * width + i] -= input->mean[i];
        }
        return input;
    };
    auto search_here = [&](Search& input) {
        input.words = decode(lane->decoder, input.frames, input.frames.size() / width, width);
    };
    // True when the other decoder took the search.
    auto search_on_helper = [&](const std::shared_ptr<Search>& input) {
        if (helper_done) let_helper_go();
        if (helper != nullptr) return false;  // still busy with an earlier one
        helper = acquire(false);
        if (helper == nullptr) return false;
        helper_done = false;
        on_helper = input;
        try {
            helping.thread = threads_([input, decoder = helper->decoder, width, &helper_done] {
                try {
                    input->words = decode(decoder, input->frames, input->frames.size() / width, width);
                } catch (...) {
                    input->failure = std::current_exception();
                }
                helper_done = true;
            });
        } catch (const std::system_error&) {
            helper_done = true;
            let_helper_go();
            return false;
        }
        return true;
    };
    auto finish = [&] {
        if (segment.empty()) return;
        const auto began = Clock::now();
        const std::size_t count = segment.size() / width;
        const std::vector<float> mean = running.result();
        const std::size_t kept = trimmed_count(segment.data(), count, width, tail_frames_, loud_floor());
        std::string words;
        std::size_t given = kept;
        if (early && early->kept == kept && early->mean == mean && early->lead == lead_now()) {
            if (early == on_helper) let_helper_go();  // waits for it
            if (early->failure) std::rethrow_exception(early->failure);
            words = std::move(early->words);
            given = early->frames.size() / width;
            ++stages.searched_early;
        } else {
            auto input = prepared(mean, kept);
            search_here(*input);
            words = std::move(input->words);
            given = input->frames.size() / width;
        }
        if (!words.empty()) {
            if (!result.words.empty()) result.words.push_back(' ');
            result.words += words;
        }
        ++stages.segments;
        stages.frames += given;
        stages.trimmed_frames += count - kept;
        stages.search_seconds += seconds_since(began);
        segment.clear();
        early.reset();
        wasted = 0;
    };
    // Each early search that comes to nothing (the speech went on) costs a search of the segment so far,
    // so they stop once they have cost twice a search of the whole segment: a segment with many short
    // pauses takes at most three times the search it would take otherwise.
    constexpr std::size_t most_wasted = 2;
    auto give_up_early = [&] {
        if (early) wasted += early->kept;
        early.reset();
    };
    auto maybe_search_early = [&] {
        const std::size_t count = segment.size() / width;
        const std::size_t kept = trimmed_count(segment.data(), count, width, tail_frames_, loud_floor());
        if (kept == count) return;  // the tail is not yet past what a search keeps
        if (early) {
            if (early->kept == kept && early->lead == lead_now()) return;
            // The quietest frame so far is quieter still, so frames that were quiet count as loud now and
            // a search at the end would be given more of them, or other quiet before them.
            give_up_early();
        }
        if (wasted > most_wasted * count) return;
        const auto began = Clock::now();
        early = prepared(running.result(), kept);
        if (!search_on_helper(early)) search_here(*early);
        stages.search_seconds += seconds_since(began);
    };
    lane->front_end->run(
        audio,
        [&](const float* cepstrum, bool starts_segment) {
            if (starts_segment) finish();
            top = std::max(top, cepstrum[0]);
            if (cepstrum[0] < bottom) quietest.assign(cepstrum, cepstrum + width);
            bottom = std::min(bottom, cepstrum[0]);
            running.add(cepstrum);
            segment.insert(segment.end(), cepstrum, cepstrum + width);
            if (cepstrum[0] >= loud_floor()) {
                give_up_early();  // the speech went on
            } else {
                maybe_search_early();
            }
        },
        finish);
    finish();
    return result;
}

}  // namespace server
