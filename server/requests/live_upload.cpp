#include "server/requests/live_upload.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <system_error>
#include <variant>
#include <vector>

#include "server/recognition/resampler.h"
#include "server/recognition/wav_reader.h"

namespace server {
namespace {

// A WAV header longer than this (chunks before the data) is left to the decoding of the finished file.
constexpr std::size_t max_header = 64 * 1024;
// Frames read from the file at a time.
constexpr std::size_t frames_per_read = 4096;
}  // namespace

LiveUpload::~LiveUpload() {
    {
        std::lock_guard lock(mutex_);
        abandoned_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

bool LiveUpload::start() {
    try {
        thread_ = std::thread([this] { decode(); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void LiveUpload::arrived(int descriptor, std::size_t bytes) {
    {
        std::lock_guard lock(mutex_);
        descriptor_ = descriptor;
        bytes_ = bytes;
    }
    changed_.notify_all();
}

std::optional<LiveOutcome> LiveUpload::finish() {
    {
        std::lock_guard lock(mutex_);
        ended_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
    if (!header_read_) return std::nullopt;
    return std::move(outcome_);
}

std::size_t LiveUpload::read(std::size_t from, char* into, std::size_t most) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return abandoned_ || ended_ || bytes_ > from; });
    if (abandoned_) throw std::runtime_error("the upload ended before its body was complete");
    const std::size_t count = std::min(most, bytes_ - std::min(bytes_, from));
    const int descriptor = descriptor_;
    lock.unlock();
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got = ::pread(descriptor, into + done, count - done, static_cast<off_t>(from + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            throw std::runtime_error(std::string("cannot read the upload's temporary file: ") +
                                     (got < 0 ? std::strerror(errno) : "it is shorter than written"));
        }
        done += static_cast<std::size_t>(got);
    }
    return done;
}

void LiveUpload::decode() {
    decode_audio();
    take_.reset();  // its reader learns that no more words will come
}

void LiveUpload::decode_audio() {
    try {
        // The header, read again as it grows until its data chunk begins.
        std::string head;
        std::optional<WavAudio> format;
        std::size_t data_at = 0;
        std::size_t data_end = SIZE_MAX;
        while (!format && head.size() < max_header) {
            char piece[4096];
            const std::size_t got =
                read(head.size(), piece, std::min(sizeof piece, max_header - head.size()));
            if (got == 0) return;  // ended before a readable header: left to the finished file's decoding
            head.append(piece, got);
            const auto decoded = decode_wav(head);
            if (const auto* audio = std::get_if<WavAudio>(&decoded)) {
                format = *audio;
                data_at = audio->data_offset;
                // The file still grows: a size the header leaves open runs to the end of the body.
                if (audio->declared_bytes) data_end = data_at + *audio->declared_bytes;
            }
        }
        if (!format) return;
        header_read_ = true;

        // Plays the data as it arrives; every play starts again from the first sample.
        class Arriving final : public SampleSource {
        public:
            Arriving(LiveUpload& upload, const WavAudio& format, std::size_t at, std::size_t end,
                     std::size_t& frames)
                : upload_(upload), format_(format), at_(at), end_(end), frames_(frames) {}
            void play(const Sink& sink) const override {
                const std::size_t frame = format_.bytes_per_frame();
                PieceResampler resampler(format_.sample_rate);
                std::vector<char> buffer(frames_per_read * frame);
                std::size_t held = 0;  // bytes of a frame not yet whole, at the buffer's start
                std::size_t frames = 0;
                for (std::size_t at = at_; at < end_;) {
                    const std::size_t want = std::min(buffer.size() - held, end_ - at);
                    const std::size_t got = upload_.read(at, buffer.data() + held, want);
                    if (got == 0) break;
                    at += got;
                    held += got;
                    const std::size_t whole = held - held % frame;
                    WavAudio piece = format_;
                    piece.data = std::string_view(buffer.data(), whole);
                    resampler.push(piece, sink);
                    frames += whole / frame;
                    std::memmove(buffer.data(), buffer.data() + whole, held - whole);
                    held -= whole;
                }
                resampler.finish(sink);
                frames_ = frames;
            }
            bool abandoned() const override {
                std::lock_guard lock(upload_.mutex_);
                return upload_.abandoned_;
            }

        private:
            LiveUpload& upload_;
            WavAudio format_;
            std::size_t at_;
            std::size_t end_;
            std::size_t& frames_;
        };
        std::size_t frames = 0;
        WordsSoFar words_so_far;
        if (take_) words_so_far = [take = take_.get()](const std::string& words) { take->publish(words); };
        outcome_.heard = engine_.transcribe_live(Arriving(*this, *format, data_at, data_end, frames), series_,
                                                 words_so_far);
        outcome_.audio_seconds = static_cast<double>(frames) / format->sample_rate;
    } catch (...) {
        outcome_.failure = std::current_exception();
    }
}

}  // namespace server
