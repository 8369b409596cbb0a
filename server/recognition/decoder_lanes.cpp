#include "server/recognition/decoder_lanes.h"

#include <pocketsphinx.h>

#include <chrono>
#include <stdexcept>

namespace server {

std::thread start_thread(std::function<void()> work) { return std::thread(std::move(work)); }

DecoderLane::~DecoderLane() {
    front_end.reset();
    if (decoder != nullptr) ps_free(decoder);
}

std::string DecoderLane::search(std::vector<float>& frames, std::size_t width) const {
    std::vector<float*> rows;
    for (std::size_t f = 0; f < frames.size() / width; ++f) rows.push_back(frames.data() + f * width);
    begin();
    // Given whole, the search computes the first and last frames' dynamic features from the utterance's
    // own edges rather than as a live stream does.
    if (ps_process_cep(decoder, rows.data(), static_cast<int>(rows.size()), FALSE, TRUE) < 0) {
        ps_end_utt(decoder);
        throw std::runtime_error("ps_process_cep failed");
    }
    return end();
}

void DecoderLane::begin() const {
    if (ps_start_utt(decoder) < 0) throw std::runtime_error("ps_start_utt failed");
    // Asked to extract features without searching, the engine keeps every frame of the utterance rather
    // than a ring of them; zero frames asked so changes nothing else. Its search lags a few frames behind
    // the features (the phone loop looks ahead of it), and given frames in pieces with the ring, the
    // lagging search was found reading frames already overwritten: no words at all from clear speech.
    float* none = nullptr;
    if (ps_process_cep(decoder, &none, 0, TRUE, FALSE) < 0) throw std::runtime_error("ps_process_cep failed");
}

void DecoderLane::feed(std::vector<float>& frames, std::size_t width) const {
    std::vector<float*> rows;
    for (std::size_t f = 0; f < frames.size() / width; ++f) rows.push_back(frames.data() + f * width);
    if (rows.empty()) return;
    if (ps_process_cep(decoder, rows.data(), static_cast<int>(rows.size()), FALSE, FALSE) < 0) {
        ps_end_utt(decoder);
        throw std::runtime_error("ps_process_cep failed");
    }
}

std::string DecoderLane::end() const {
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

DecoderLanes::DecoderLanes(std::vector<std::unique_ptr<DecoderLane>> lanes) : lanes_(std::move(lanes)) {
    for (auto& lane : lanes_) idle_.push_back(lane.get());
}

DecoderLane* DecoderLanes::take(bool wait) {
    std::unique_lock lock(mutex_);
    if (wait) released_.wait(lock, [&] { return !idle_.empty(); });
    if (idle_.empty()) return nullptr;
    DecoderLane* lane = idle_.back();
    idle_.pop_back();
    return lane;
}

DecoderLane* DecoderLanes::take_for(const SampleSource& audio) {
    // A client that goes away does not tell the lanes' condition, so the wait looks again now and then.
    constexpr auto look_again = std::chrono::milliseconds(100);
    std::unique_lock lock(mutex_);
    while (idle_.empty()) {
        if (audio.abandoned()) return nullptr;
        released_.wait_for(lock, look_again);
    }
    DecoderLane* lane = idle_.back();
    idle_.pop_back();
    return lane;
}

void DecoderLanes::give_back(DecoderLane* lane) {
    {
        std::lock_guard lock(mutex_);
        idle_.push_back(lane);
    }
    released_.notify_one();
}

}  // namespace server
