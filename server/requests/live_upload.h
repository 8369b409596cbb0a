#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "server/recognition/speech_to_text.h"
#include "server/requests/live_words.h"

namespace server {

// What decoding an upload while it arrived came to.
struct LiveOutcome {
    Transcript heard;
    double audio_seconds = 0.0;
    std::exception_ptr failure;  // what the engine threw, if it did
};

// Decodes the WAV file of an upload on a thread of its own while the file is still being written to the
// upload's spool, so that when the body ends only its last moments are left to search. The connection's
// thread writes the file and says how far it has got (arrived); the decoding thread reads the file from
// its descriptor (pread, never the writer's buffers) and waits for more, so nothing of the audio is held
// in memory and a decoder that falls behind only reads later. Audio that is not a readable WAV file by
// the time the body ends is left to the ordinary decoding of the finished file.
class LiveUpload {
public:
    // `engine` must outlive this. `series` is the take's series as its client named it (see
    // SpeechToText::transcribe_live), empty for none. `take`, when given, is told the words so far as the
    // decoding goes, and ended when the decoding ends, however it ends.
    explicit LiveUpload(SpeechToText& engine, std::string series = {},
                        std::unique_ptr<LiveWords::Take> take = nullptr)
        : engine_(engine), series_(std::move(series)), take_(std::move(take)) {}
    // Stops the decoding (its reads fail) and waits for its thread, on every way out.
    ~LiveUpload();
    LiveUpload(const LiveUpload&) = delete;
    LiveUpload& operator=(const LiveUpload&) = delete;

    // Starts the decoding thread. False when the system has no thread to give; the upload is then decoded
    // once it is complete.
    bool start();
    // The spool's file `descriptor` (kept open by the caller until this is destroyed) now holds `bytes`,
    // the WAV file's first bytes. Called on the connection's thread.
    void arrived(int descriptor, std::size_t bytes);
    // The body is complete: waits for the decoding to finish. Nothing when the file was not readable as
    // a WAV file (its header never came whole, or it is malformed): decode the finished file instead.
    std::optional<LiveOutcome> finish();

private:
    void decode();
    void decode_audio();
    // Waits until the file holds more than `from` bytes, or the body has ended; then reads up to `most`
    // bytes at `from` into `into`. 0 at the end of the file once the body has ended; throws
    // std::runtime_error when the upload was abandoned or the file cannot be read.
    std::size_t read(std::size_t from, char* into, std::size_t most);

    SpeechToText& engine_;
    const std::string series_;
    std::unique_ptr<LiveWords::Take> take_;  // used by the decoding thread alone once it has started
    std::mutex mutex_;
    std::condition_variable changed_;
    int descriptor_ = -1;
    std::size_t bytes_ = 0;
    bool ended_ = false;
    bool abandoned_ = false;
    bool header_read_ = false;
    LiveOutcome outcome_;
    std::thread thread_;
};

}  // namespace server
