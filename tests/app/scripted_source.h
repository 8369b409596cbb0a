#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "audio/sound_source.h"

// A source of sound that plays a script, for the tests of what records takes: no audio library, no thread,
// no waiting. Everything happens on the main thread, in the recording's own turns.
//
// Each start() plays the next take's script. Its first turn is played within start(), so sound may be there
// before the prompt; each later one is played when the recording asks stalled(), which it does once a turn
// while the take goes on. A take whose script runs out while it still records fails the test and then
// behaves as a device gone, so that no test waits forever.
class ScriptedSource final : public SoundSource {
public:
    struct Turn {
        std::size_t samples = 0;              // pushed into the ring in this turn
        float value = 0.25f;                  // each one's value: 0 is silence
        bool goes_away = false;               // running() is false from the next turn on
        bool stalls = false;                  // stalled() is true from this turn on
        std::chrono::milliseconds paused{0};  // what paused() says at the end of this turn
        std::function<void()> then = {};      // what happens meanwhile: a key typed, Ctrl-C
    };
    struct Take {
        std::vector<Turn> turns = {};
        std::optional<AudioFailure> start_failure = std::nullopt;
        std::optional<AudioFailure> stop_failure = std::nullopt;
    };

    std::vector<Take> takes;
    // "start", "seal", "stop", "abandon", in the order they came; a test may add its own to place them.
    std::vector<std::string> events;

    std::optional<AudioFailure> start(SampleRing& ring) override {
        events.emplace_back("start");
        if (started_ >= takes.size()) {
            ADD_FAILURE() << "take " << started_ + 1 << " has no script";
            return AudioFailure{"start", "no script"};
        }
        take_ = &takes[started_++];
        if (take_->start_failure) return take_->start_failure;
        ring_ = &ring;
        next_turn_ = 0;
        gone_ = stalled_ = sealed_ = false;
        play_turn();
        return std::nullopt;
    }
    bool running() const override { return ring_ != nullptr && !gone_; }
    bool stalled() override {
        if (!sealed_ && running() && !stalled_) play_turn();
        return stalled_;
    }
    std::chrono::milliseconds paused() override { return std::exchange(paused_, {}); }
    void seal() override {
        events.emplace_back("seal");
        sealed_ = true;
    }
    std::optional<AudioFailure> stop() override {
        events.emplace_back("stop");
        ring_ = nullptr;
        return take_ != nullptr ? take_->stop_failure : std::nullopt;
    }
    void abandon() override {
        events.emplace_back("abandon");
        ring_ = nullptr;
    }

private:
    void play_turn() {
        if (next_turn_ >= take_->turns.size()) {
            ADD_FAILURE() << "the script of take " << started_ << " ran out while it recorded";
            gone_ = true;
            return;
        }
        const Turn& turn = take_->turns[next_turn_++];
        const std::vector<float> sound(turn.samples, turn.value);
        ring_->push(sound.data(), sound.size());
        gone_ = turn.goes_away;
        stalled_ = turn.stalls;
        paused_ = turn.paused;
        if (turn.then) turn.then();
    }

    Take* take_ = nullptr;
    std::size_t started_ = 0;
    std::size_t next_turn_ = 0;
    SampleRing* ring_ = nullptr;
    bool gone_ = false;
    bool stalled_ = false;
    bool sealed_ = false;
    std::chrono::milliseconds paused_{0};
};
