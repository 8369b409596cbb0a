#include "server/recognition/live_decoding.h"

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

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point began) {
    return std::chrono::duration<double>(Clock::now() - began).count();
}

}  // namespace

LiveDecoding::LiveDecoding(DecoderLanes& lanes, DecoderLane& own, ThreadStarter threads,
                           std::size_t tail_frames, const std::vector<float>& fallback, DecodeStages& stages,
                           WordsSoFar words_so_far)
    : lanes_(lanes),
      own_(own),
      threads_(std::move(threads)),
      preparation_(own.front_end->width(), tail_frames),
      stages_(stages),
      running_(own.front_end->width(), fallback),
      range_(own.front_end->width()),
      words_so_far_(std::move(words_so_far)) {}

LiveDecoding::~LiveDecoding() { let_helper_go(); }

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

void LiveDecoding::finish_segment() {
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
    if (!done->words.empty()) {
        if (!words_.empty()) words_.push_back(' ');
        words_ += done->words;
    }
    if (words_so_far_ && !done->words.empty()) words_so_far_(words_);
    ++stages_.segments;
    stages_.frames += done->input.frames.size() / width;
    stages_.trimmed_frames += segment_.size() / width - done->input.kept;
    stages_.search_seconds += seconds_since(began);
    segment_.clear();
    early_.reset();
    wasted_ = 0;
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
