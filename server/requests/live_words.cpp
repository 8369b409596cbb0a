#include "server/requests/live_words.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <utility>

namespace server {

// One lock and one condition for the whole registry: a server has a few takes at once, and every change
// is a few instructions under the lock.
struct LiveWords::Shared {
    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::string, std::shared_ptr<Entry>, std::less<>> takes;
    std::chrono::milliseconds wait;
    bool stopped = false;
};

struct LiveWords::Entry {
    std::string text;
    std::uint64_t version = 0;  // how many texts were published
    bool ended = false;
    bool watched = false;
};

LiveWords::LiveWords(std::chrono::milliseconds wait_for_take) : shared_(std::make_shared<Shared>()) {
    shared_->wait = wait_for_take;
}

LiveWords::~LiveWords() { stop(); }

bool LiveWords::valid_id(std::string_view id) {
    if (id.size() != 32) return false;
    for (const char c : id) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

std::unique_ptr<LiveWords::Take> LiveWords::begin(const std::string& id) {
    auto entry = std::make_shared<Entry>();
    {
        std::lock_guard lock(shared_->mutex);
        if (!shared_->takes.emplace(id, entry).second) return nullptr;
    }
    shared_->changed.notify_all();
    return std::unique_ptr<Take>(new Take(shared_, id, std::move(entry)));
}

LiveWords::Lookup LiveWords::watch(const std::string& id) {
    Shared& shared = *shared_;
    const auto deadline = std::chrono::steady_clock::now() + shared.wait;
    std::unique_lock lock(shared.mutex);
    for (;;) {
        if (shared.stopped) return {Found::stopping, nullptr};
        if (const auto found = shared.takes.find(id); found != shared.takes.end()) {
            if (found->second->watched) return {Found::watched, nullptr};
            found->second->watched = true;
            return {Found::take, std::unique_ptr<Reader>(new Reader(shared_, found->second))};
        }
        if (shared.changed.wait_until(lock, deadline) == std::cv_status::timeout) {
            if (shared.takes.count(id) == 0 && !shared.stopped) return {Found::unknown, nullptr};
        }
    }
}

void LiveWords::stop() {
    {
        std::lock_guard lock(shared_->mutex);
        shared_->stopped = true;
    }
    shared_->changed.notify_all();
}

LiveWords::Take::Take(std::shared_ptr<Shared> shared, std::string id, std::shared_ptr<Entry> entry)
    : shared_(std::move(shared)), id_(std::move(id)), entry_(std::move(entry)) {}

LiveWords::Take::~Take() {
    {
        std::lock_guard lock(shared_->mutex);
        entry_->ended = true;
        shared_->takes.erase(id_);
    }
    shared_->changed.notify_all();
}

void LiveWords::Take::publish(std::string text) {
    {
        std::lock_guard lock(shared_->mutex);
        // The words at the end are those of the last segment again: the reader need not hear them twice.
        if (text == entry_->text) return;
        // The text before is let go outside the lock, so a long one costs the reader no wait.
        std::swap(entry_->text, text);
        ++entry_->version;
    }
    shared_->changed.notify_all();
}

LiveWords::Reader::Reader(std::shared_ptr<Shared> shared, std::shared_ptr<Entry> entry)
    : shared_(std::move(shared)), entry_(std::move(entry)) {}

LiveWords::Reader::~Reader() = default;

LiveWords::Reader::Event LiveWords::Reader::next(std::chrono::milliseconds patience) {
    Shared& shared = *shared_;
    std::unique_lock lock(shared.mutex);
    shared.changed.wait_for(lock, patience,
                            [&] { return entry_->version != seen_ || entry_->ended || shared.stopped; });
    if (entry_->version != seen_) {
        seen_ = entry_->version;
        return {Event::Kind::words, entry_->text};
    }
    if (entry_->ended || shared.stopped) return {Event::Kind::end, {}};
    return {};
}

}  // namespace server
