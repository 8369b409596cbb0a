#pragma once

#include <cstddef>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace server {

// What one speaker's finished takes tell the search of their next take: a person's takes follow one
// another with one voice, microphone and room, so the normalisation the last takes arrived at is a good
// start for the next one, before it has given any speech of its own.
struct SeriesHistory {
    std::vector<float> mean;      // both steps of the normalisation, as RunningCepstralMean gives them
    float loudest = 0.0f;         // the log energy (c0) of the loudest frame heard
    std::vector<float> quietest;  // the quietest frame heard
    std::size_t takes = 0;        // how many takes it was learnt from
};

// Series of takes, each named by the id its client sends, and what each has learnt: bounded to the
// `capacity` series used last (a series unused longest is forgotten first), so that clients that never
// come back cost nothing. Any thread.
class TakeSeries {
public:
    static constexpr std::size_t default_capacity = 64;
    // Takes a history averages over: older takes weigh less and less, so it follows a speaker who moves.
    static constexpr std::size_t takes_remembered = 4;

    explicit TakeSeries(std::size_t capacity = default_capacity) : capacity_(capacity) {}

    // What the series' finished takes have taught so far, or nothing for an unknown or forgotten series.
    std::optional<SeriesHistory> history(std::string_view id);
    // A take of the series is over and heard `take` (takes == 1); later takes of it start from this.
    void learn(std::string_view id, const SeriesHistory& take);
    std::size_t size() const;

private:
    using Order = std::list<std::pair<std::string, SeriesHistory>>;

    std::size_t capacity_;
    mutable std::mutex mutex_;
    Order order_;  // used last first
    std::unordered_map<std::string, Order::iterator> by_id_;
};

// Whether `id` can name a series: 32 lowercase hexadecimal digits, as a client makes one.
bool is_series_id(std::string_view id);

}  // namespace server
