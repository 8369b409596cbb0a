#include "server/recognition/take_series.h"

#include <algorithm>

namespace server {

std::optional<SeriesHistory> TakeSeries::history(std::string_view id) {
    std::lock_guard lock(mutex_);
    const auto found = by_id_.find(std::string(id));
    if (found == by_id_.end()) return std::nullopt;
    order_.splice(order_.begin(), order_, found->second);
    return found->second->second;
}

void TakeSeries::learn(std::string_view id, const SeriesHistory& take) {
    std::lock_guard lock(mutex_);
    const std::string key(id);
    const auto found = by_id_.find(key);
    if (found == by_id_.end()) {
        if (capacity_ == 0) return;
        if (order_.size() >= capacity_) {
            by_id_.erase(order_.back().first);
            order_.pop_back();
        }
        order_.emplace_front(key, take);
        order_.front().second.takes = 1;
        by_id_.emplace(key, order_.begin());
        return;
    }
    order_.splice(order_.begin(), order_, found->second);
    SeriesHistory& known = order_.front().second;
    // A running average over the last few takes: the newest take weighs 1 / (remembered takes + 1).
    const std::size_t weight = std::min(known.takes, takes_remembered);
    if (known.mean.size() == take.mean.size()) {
        for (std::size_t i = 0; i < known.mean.size(); ++i)
            known.mean[i] =
                (known.mean[i] * static_cast<float>(weight) + take.mean[i]) / static_cast<float>(weight + 1);
    } else {
        known.mean = take.mean;
    }
    // The loudness range is the newest take's: a quiet room or a loud word once should not hold forever.
    known.loudest = take.loudest;
    known.quietest = take.quietest;
    ++known.takes;
}

std::size_t TakeSeries::size() const {
    std::lock_guard lock(mutex_);
    return order_.size();
}

bool is_series_id(std::string_view id) {
    return id.size() == 32 && std::all_of(id.begin(), id.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

}  // namespace server
