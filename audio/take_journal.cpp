#include "audio/take_journal.h"

#include <algorithm>
#include <cerrno>

#include "audio/wav_writer.h"
#include "platform/process_id.h"

namespace {

constexpr std::size_t pcm_samples = 16384;
// Names tried for one take before giving up: more than any number of processes a person runs at once.
constexpr int most_names = 1000;

}  // namespace

TakeJournal::TakeJournal() : pcm_(std::make_unique_for_overwrite<std::uint16_t[]>(pcm_samples)) {}

TakeJournal::~TakeJournal() { let_go(); }

void TakeJournal::let_go() {
    sync_.stop();
    close_file(file_);
}

int TakeJournal::open(const std::string& directory, const std::string& timestamp) {
    let_go();
    directory_ = directory;
    samples_ = requested_samples_ = lost_ = 0;
    stable_samples_ = no_samples;
    failure_ = 0;
    const std::string stem = directory + timestamp + marker + std::to_string(current_process_id());
    int error = EEXIST;
    for (int n = 1; n <= most_names && !file_.open(); ++n) {
        path_ = n == 1 ? stem + ".wav" : stem + "-" + std::to_string(n) + ".wav";
        error = create_exclusive(path_, file_);
        if (error == EEXIST) continue;
        if (error != 0) return error;
        // Another process that looks for orphaned journals may have taken this new file for one between its
        // creation and the lock (and removed it, as it holds nothing): then try the next name.
        const int locked = try_lock(file_);
        if (locked == EWOULDBLOCK || (locked == 0 && !still_named(file_, path_))) {
            close_file(file_);
            error = EEXIST;
        } else if (locked != 0) {
            // No lock to be had on this file system: another dictate would take the journal for an orphan.
            (void)remove_file(path_);
            close_file(file_);
            return locked;
        }
    }
    if (!file_.open()) return error;

    const std::string header = encode_wav_header(WavHeader::for_samples(0));
    std::size_t written = 0;
    if (const int e = write_at(file_, 0, header.data(), header.size(), written); e != 0) {
        (void)remove_file(path_);
        close_file(file_);
        return e;
    }
    // The journal's name must survive a power cut as well as its data. Synced here, before the take
    // records, so no sound waits for it; the data's syncs run on their own thread.
    (void)sync_directory(directory_);
    sync_.start(file_);
    return 0;
}

void TakeJournal::stop(int error, std::uint64_t file_length) {
    failure_ = error;
    const std::uint64_t held = samples_;
    // Where even that fails, no file is better than one whose header says something untrue.
    if (settle_partial_wav(file_, path_, file_length, samples_) != 0) {
        (void)remove_file(path_);
        lost_ = held;
        samples_ = 0;
    }
    // The file is gone. Only then is the syncing thread waited for: a sync under way may take seconds on a
    // slow disk, and this thread drains the ring.
    if (samples_ == 0) let_go();
}

std::size_t TakeJournal::append(const float* samples, std::size_t count) {
    if (!file_.open() || failure_ != 0 || count == 0) return 0;
    const std::uint64_t before = samples_;
    std::uint64_t file_length = WavHeader::size + 2 * samples_;
    const auto kept = [&] { return static_cast<std::size_t>(samples_ - std::min(before, samples_)); };
    for (std::size_t done = 0; done < count;) {
        const std::size_t n = std::min(pcm_samples, count - done);
        to_pcm16le(samples + done, n, pcm_.get());
        std::size_t landed = 0;
        const int e = write_at(file_, file_length, pcm_.get(), 2 * n, landed);
        file_length += landed;
        if (e != 0) {
            stop(e, file_length);
            return kept();
        }
        done += n;
    }
    samples_ = (file_length - WavHeader::size) / 2;
    const std::string header = encode_wav_header(WavHeader::for_samples(samples_));
    std::size_t landed = 0;
    int e = write_at(file_, 0, header.data(), header.size(), landed);
    if (e == 0) e = sync_.failure();
    if (e != 0) {
        stop(e, file_length);
        return kept();
    }
    if (samples_ - requested_samples_ >= sync_every_samples) {
        sync_.request(samples_);
        requested_samples_ = samples_;
    }
    return count;
}

int TakeJournal::join(const SampleBuffer& rest) {
    if (!file_.open()) return ENOENT;
    const std::uint64_t before = samples_;
    std::uint64_t file_length = WavHeader::size + 2 * samples_;
    int error = 0;
    rest.for_each_block([&](const float* samples, std::size_t count) {
        for (std::size_t done = 0; done < count && error == 0;) {
            const std::size_t n = std::min(pcm_samples, count - done);
            to_pcm16le(samples + done, n, pcm_.get());
            std::size_t landed = 0;
            error = write_at(file_, file_length, pcm_.get(), 2 * n, landed);
            file_length += landed;
            done += n;
        }
    });
    const std::uint64_t whole = error == 0 ? before + rest.size() : before;
    const std::string header = encode_wav_header(WavHeader::for_samples(whole));
    std::size_t landed = 0;
    if (error == 0) error = write_at(file_, 0, header.data(), header.size(), landed);
    if (error == 0) {
        samples_ = whole;
        failure_ = 0;
        return 0;
    }
    // Back to what it held: the header there still states exactly that.
    (void)truncate_file(file_, WavHeader::size + 2 * before);
    return error;
}

std::uint64_t TakeJournal::unsynced_samples() const {
    if (!file_.open()) return 0;
    const std::uint64_t synced = sync_.synced();
    return samples_ > synced ? samples_ - synced : 0;
}

int TakeJournal::finish_as(const std::string& final_path) {
    if (!file_.open()) return ENOENT;
    sync_.stop();
    // Tried again under another name when the first is taken: no need to sync twice.
    if (stable_samples_ != samples_) {
        if (const int e = sync_data(file_); e != 0) return e;
        stable_samples_ = samples_;
    }
    if (const int e = rename_no_replace(path_, final_path); e != 0) return e;
    path_ = final_path;
    (void)sync_directory(directory_);
    close_file(file_);
    return 0;
}

void TakeJournal::discard() {
    if (!file_.open()) return;
    sync_.stop();
    (void)remove_file(path_);
    close_file(file_);
}
