#include "server/recognition/live_decoding.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <system_error>
#include <utility>

namespace server {
namespace {

// Each early search that comes to nothing (the speech went on) costs a search of the segment so far, so
// they stop once they have cost twice a search of the whole segment: a segment with many short pauses
// takes at most three times the search it would take otherwise.
constexpr std::size_t most_wasted = 2;

// How many frames of the take's own speech weigh as much as its series' history in the mean a segment
// is normalised with.
constexpr double history_weight = 3000;

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point began) {
    return std::chrono::duration<double>(Clock::now() - began).count();
}

}  // namespace

LiveDecoding::LiveDecoding(DecoderLanes& lanes, DecoderLane& own, ThreadStarter threads,
                           std::size_t tail_frames, const std::vector<float>& fallback, DecodeStages& stages,
                           std::optional<SeriesHistory> history, WordsSoFar words_so_far)
    : lanes_(lanes),
      own_(own),
      threads_(std::move(threads)),
      preparation_(own.front_end->width(), tail_frames),
      stages_(stages),
      running_(own.front_end->width(), fallback),
      range_(own.front_end->width()),
      words_so_far_(std::move(words_so_far)),
      history_(std::move(history)),
      own_range_(own.front_end->width()) {
    if (history_) {
        range_.hear(history_->quietest.data());
        range_.hear_loudest(history_->loudest);
    }
}

LiveDecoding::~LiveDecoding() {
    if (begun_) {
        try {
            own_.end();  // so that the lane's next search starts afresh
        } catch (...) {
        }
    }
    let_helper_go();
}

std::optional<SeriesHistory> LiveDecoding::learnt() const {
    if (own_range_.empty() || !running_.heard_enough()) return std::nullopt;
    SeriesHistory take;
    take.mean = running_.result();
    take.loudest = own_range_.loudest();
    take.quietest = own_range_.quietest();
    take.takes = 1;
    return take;
}

std::string LiveDecoding::run(const SampleSource& audio) {
    own_.front_end->run(
        audio, [this](const float* cepstrum, bool starts_segment) { hear(cepstrum, starts_segment); },
        [this] { finish_segment(); });
    finish_segment();
    if (words_so_far_) words_so_far_(words_);
    return std::move(words_);
}

void LiveDecoding::hear(const float* cepstrum, bool starts_segment) {
    if (starts_segment) finish_segment();
    own_range_.hear(cepstrum);
    if (history_) {
        hear_searching(cepstrum);
        return;
    }
    range_.hear(cepstrum);
    running_.add(cepstrum);
    segment_.insert(segment_.end(), cepstrum, cepstrum + preparation_.width());
    if (cepstrum[0] >= range_.loud_floor()) {
        give_up_early();
    } else {
        maybe_search_early();
    }
}

std::shared_ptr<LiveDecoding::Search> LiveDecoding::prepared_now() const {
    auto search = std::make_shared<Search>();
    search->input = preparation_.prepare(segment_, range_, running_.result(), SegmentMean::as_given);
    return search;
}

void LiveDecoding::hear_searching(const float* cepstrum) {
    const std::size_t width = preparation_.width();
    range_.hear(cepstrum);
    running_.add(cepstrum);
    ++heard_;
    const auto began = Clock::now();
    held_.insert(held_.end(), cepstrum, cepstrum + width);
    const bool loud = cepstrum[0] >= range_.loud_floor();
    if (!searching_) {
        segment_mean_ = blended_mean();
        searching_ = true;
        heard_loud_ = false;
        fed_ = 0;
        // As SegmentPreparation does: quiet before a segment that begins in speech.
        lead_in(held_, width, range_.lead_for(cepstrum), range_.loud_floor());
    }
    if (loud) {
        heard_loud_ = true;
        feed_held(held_.size() / width);
    }
    stages_.search_seconds += seconds_since(began);
}

std::vector<float> LiveDecoding::blended_mean() const {
    std::vector<float> mean = history_->mean;
    if (!running_.heard_enough()) return mean;
    const std::vector<float> own = running_.result();
    if (own.size() != mean.size()) return mean;
    const double take_share = static_cast<double>(heard_) / (static_cast<double>(heard_) + history_weight);
    for (std::size_t i = 0; i < mean.size(); ++i)
        mean[i] = static_cast<float>((1.0 - take_share) * mean[i] + take_share * own[i]);
    return mean;
}

void LiveDecoding::feed_held(std::size_t count) {
    const std::size_t width = preparation_.width();
    std::vector<float> frames(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(count * width));
    held_.clear();
    if (count == 0) return;
    for (std::size_t f = 0; f < count; ++f) {
        for (std::size_t i = 0; i < width; ++i) frames[f * width + i] -= segment_mean_[i];
    }
    if (!begun_) {
        own_.begin();
        begun_ = true;
    }
    fed_ += count;
    own_.feed(frames, width);
}

std::string LiveDecoding::end_search() {
    const std::size_t width = preparation_.width();
    const std::size_t held = held_.size() / width;
    // A segment without a loud frame is searched whole, as trimmed_count keeps it.
    const std::size_t kept = heard_loud_ ? std::min(held, preparation_.tail_frames()) : held;
    feed_held(kept);
    stages_.frames += fed_;
    stages_.trimmed_frames += held - kept;
    searching_ = false;
    if (!begun_) return {};  // no frame was kept
    ++stages_.searched_early;
    begun_ = false;
    return own_.end();
}

void LiveDecoding::finish_segment() {
    std::string words;
    if (history_) {
        if (!searching_) return;
        const auto began = Clock::now();
        words = end_search();
        stages_.search_seconds += seconds_since(began);
    } else {
        if (segment_.empty()) return;
        const auto began = Clock::now();
        const std::size_t width = preparation_.width();
        auto now = prepared_now();
        std::shared_ptr<Search> done = now;
        if (early_ && early_->input.same_search(now->input)) {
            if (early_ == on_helper_) let_helper_go();  // waits for it
            if (early_->failure) std::rethrow_exception(early_->failure);
            done = early_;
            ++stages_.searched_early;
        } else {
            search_here(*now);
        }
        words = std::move(done->words);
        stages_.frames += done->input.frames.size() / width;
        stages_.trimmed_frames += segment_.size() / width - done->input.kept;
        stages_.search_seconds += seconds_since(began);
        segment_.clear();
        early_.reset();
        wasted_ = 0;
    }
    // The segment's words are final here, however it was searched.
    ++stages_.segments;
    if (!words.empty()) {
        if (!words_.empty()) words_.push_back(' ');
        words_ += words;
        if (words_so_far_) words_so_far_(words_);
    }
}

void LiveDecoding::give_up_early() {
    if (early_) wasted_ += early_->input.kept;
    early_.reset();
}

void LiveDecoding::maybe_search_early() {
    const std::size_t count = segment_.size() / preparation_.width();
    const std::size_t kept = preparation_.kept(segment_, range_);
    if (kept == count) return;  // the tail is not yet past what a search keeps
    if (early_) {
        if (early_->input.kept == kept && early_->input.lead == range_.lead_for(segment_.data())) return;
        // The quietest frame so far is quieter still, so frames that were quiet count as loud now and a
        // search at the end would be given more of them, or other quiet before them.
        give_up_early();
    }
    if (wasted_ > most_wasted * count) return;
    const auto began = Clock::now();
    early_ = prepared_now();
    if (!search_on_helper(early_)) search_here(*early_);
    stages_.search_seconds += seconds_since(began);
}

void LiveDecoding::search_here(Search& search) {
    search.words = own_.search(search.input.frames, preparation_.width());
}

bool LiveDecoding::search_on_helper(const std::shared_ptr<Search>& search) {
    if (helper_done_) let_helper_go();
    if (helper_ != nullptr) return false;  // still busy with an earlier one
    helper_ = lanes_.take(false);
    if (helper_ == nullptr) return false;
    helper_done_ = false;
    on_helper_ = search;
    try {
        helping_ = threads_([search, lane = helper_, width = preparation_.width(), &done = helper_done_] {
            try {
                search->words = lane->search(search->input.frames, width);
            } catch (...) {
                search->failure = std::current_exception();
            }
            done = true;
        });
    } catch (const std::system_error&) {
        helper_done_ = true;
        let_helper_go();
        return false;
    }
    return true;
}

void LiveDecoding::let_helper_go() {
    if (helping_.joinable()) helping_.join();
    if (helper_ != nullptr) lanes_.give_back(helper_);
    helper_ = nullptr;
    on_helper_.reset();
}

}  // namespace server
