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

void JournalSync::start(FileHandle file, const std::string& directory) {
    stop();
    {
        std::lock_guard<std::mutex> hold(lock_);
        file_ = file;
        directory_ = directory;
        directory_due_ = true;
        wanted_ = synced_ = 0;
        failure_ = 0;
    }
    changed_.notify_all();
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
    directory_due_ = false;
}

void JournalSync::run() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        changed_.wait(hold, [this] {
            return ending_ || (file_.open() && failure_ == 0 && (wanted_ > synced_ || directory_due_));
        });
        if (ending_) return;
        const FileHandle file = file_;
        const std::string directory = directory_due_ ? directory_ : std::string();
        const std::uint64_t target = wanted_;
        directory_due_ = false;
        busy_ = true;
        hold.unlock();
        int error = target > 0 ? sync_data(file) : 0;
        if (!directory.empty()) (void)sync_directory(directory);
        hold.lock();
        busy_ = false;
        if (error != 0)
            failure_ = error;
        else if (target > synced_)
            synced_ = target;
        changed_.notify_all();
    }
}
