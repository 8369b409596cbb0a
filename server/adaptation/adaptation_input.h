#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "server/recognition/speech_to_text.h"
#include "server/recognition/wav_reader.h"

namespace server {

// How adaptation reads the files in the pair folders, which anyone may have put there: only regular files,
// opened without waiting (a FIFO would block for ever) and without following a link at the end of the
// path, each checked after opening as well as before (the name may change hands in between); texts up to
// a size; WAV files a block at a time, never whole.

// A text larger than this is no transcript of one take (a minute of speech is about a kilobyte).
inline constexpr std::uint64_t max_text_bytes = 1'000'000;

// Why a file was not read, for the line that names it; empty when it was.
struct Refusal {
    std::string reason;
    explicit operator bool() const { return !reason.empty(); }
};

// Where `path` (an entry of one of `folders`, given as canonical paths) leads: itself, or the file its link
// names when that is inside one of `folders`. `refusal` says why not: a link leading out of the folders or
// nowhere, or a file that is not a regular one (a FIFO, a device, a socket, a folder).
struct InputPath {
    std::string path;
    Refusal refusal;
};
InputPath resolve_input(const std::string& path, const std::vector<std::string>& folders);

// The descriptor (close-on-exec, non-blocking) of the regular file `path`, opened without following a last
// link and checked again once open; -1 with `refusal` saying why not. The caller closes it.
int open_input_file(const std::string& path, Refusal& refusal);

// The whole text of the regular file `path`, or why it can't be had (not a regular file, over
// max_text_bytes, unreadable).
struct InputText {
    std::string text;
    Refusal refusal;
};
InputText read_input_text(const std::string& path);

// A take's audio as the recogniser hears it (16 kHz mono 16-bit), read from its WAV file a block at a time
// on every play, so memory stays a few blocks whatever the take's length. Any WAV an upload may be.
// play() may run on several threads at once; a file cut short meanwhile ends its audio early.
class TakeAudio final : public SampleSource {
public:
    // Throws std::runtime_error with the reason (not a regular file, not a WAV the server reads, unreadable)
    // when the take can't be read; the caller names the file.
    explicit TakeAudio(const std::string& path);
    ~TakeAudio() override;
    TakeAudio(const TakeAudio&) = delete;
    TakeAudio& operator=(const TakeAudio&) = delete;

    void play(const Sink& sink) const override;

private:
    int fd_ = -1;
    WavAudio format_;  // its `data` is empty: the samples stay in the file
    std::uint64_t data_offset_ = 0;
    std::uint64_t data_bytes_ = 0;
};

}  // namespace server
