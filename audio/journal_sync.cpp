#include "audio/journal_sync.h"

JournalSync::JournalSync() : thread_([this] { run(); }) {}

JournalSync::~JournalSync() {
    stop();
    {
        std::lock_guard<std::mutex> hold(lock_);
        ending_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void JournalSync::start(FileHandle file) {
    stop();
    std::lock_guard<std::mutex> hold(lock_);
    file_ = file;
    wanted_ = synced_ = 0;
    failure_ = 0;
}

void JournalSync::request(std::uint64_t samples) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (!file_.open() || samples <= wanted_) return;
        wanted_ = samples;
    }
    changed_.notify_all();
}

std::uint64_t JournalSync::synced() const {
    std::lock_guard<std::mutex> hold(lock_);
    return synced_;
}

int JournalSync::failure() const {
    std::lock_guard<std::mutex> hold(lock_);
    return failure_;
}

void JournalSync::stop() {
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [this] { return !busy_; });
    file_ = FileHandle{};
}

void JournalSync::run() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        changed_.wait(hold,
                      [this] { return ending_ || (file_.open() && failure_ == 0 && wanted_ > synced_); });
        if (ending_) return;
        const FileHandle file = file_;
        const std::uint64_t target = wanted_;
        busy_ = true;
        hold.unlock();
        const int error = sync_data(file);
        hold.lock();
        busy_ = false;
        if (error != 0)
            failure_ = error;
        else if (target > synced_)
            synced_ = target;
        changed_.notify_all();
    }
}
