#include "app/enrolment.h"

#include <filesystem>
#include <ostream>
#include <string_view>
#include <system_error>

#include "app/enrolment_prompts.h"
#include "app/key_wait.h"
#include "app/status_line.h"
#include "app/take_recording.h"
#include "app/transcript_file.h"
#include "audio/sample_buffer.h"
#include "audio/sample_ring.h"
#include "audio/wav_writer.h"
#include "platform/durable_file.h"

namespace {

namespace fs = std::filesystem;

constexpr int failure_status = 1;
constexpr std::size_t ring_samples =
    4 * WavHeader::sample_rate;  // as a take: a few seconds of slack for the main thread

std::string stem_of(std::size_t index) {
    const std::string number = std::to_string(index + 1);
    return "prompt-" + std::string(number.size() < 2 ? 2 - number.size() : 0, '0') + number;
}

bool is_read(const std::string& folder, std::size_t index) {
    std::error_code ignored;
    return fs::exists(folder + stem_of(index) + ".txt", ignored);
}

// Counted from the folder each time, so a run that resumes past a gap (a pair removed by hand) says the
// same number at its start and where it stops.
std::size_t count_read(const std::string& folder, std::size_t prompts) {
    std::size_t read = 0;
    for (std::size_t i = 0; i < prompts; ++i) read += is_read(folder, i) ? 1 : 0;
    return read;
}

// Writes a sentence's take and then its text, so that the pair counts as read only once both are whole. A
// take left without its text (a run that ended between the two, or whose text could not be written) is the
// unfinished pair of an earlier attempt at the sentence, and is replaced. Returns false when either can't be
// written, told in one line.
bool keep_pair(const EnrolmentSeams& seams, const std::string& stem, std::string_view sentence,
               const SampleBuffer& samples) {
    const std::string wav = seams.folder + stem + ".wav";
    (void)remove_file(wav);
    if (const WavWrite written = write_wav(wav, samples); written.error != 0) {
        seams.tell("cannot write " + wav + ": " + error_text(written.error));
        return false;
    }
    const std::string text = seams.folder + stem + ".txt";
    if (const int error = write_new_text(text, sentence); error != 0) {
        seams.tell("cannot write " + text + ": " + error_text(error));
        return false;
    }
    return true;
}

}  // namespace

int run_enrolment(const EnrolmentSeams& seams) {
    const auto prompts = enrolment_prompts();
    std::error_code error;
    fs::create_directories(seams.folder, error);
    if (error) {
        seams.tell("cannot create the enrolment folder " + seams.folder + ": " + error.message());
        return failure_status;
    }
    seams.out << "Enrolment: " << prompts.size() << " sentences, about six minutes; "
              << count_read(seams.folder, prompts.size())
              << " read already.\nEach recording starts when its sentence appears: read it aloud, then press "
                 "Enter. Ctrl-C stops; run again to go on.\n"
              << std::flush;

    SampleBuffer samples;
    SampleRing ring(ring_samples);
    KeyInput keys(seams.input_fd);
    StatusLine no_status;
    for (std::size_t i = 0; i < prompts.size(); ++i) {
        if (is_read(seams.folder, i)) continue;
        samples.clear();
        const RecordingEnd recorded = record_until_enter({
            seams.sound,
            ring,
            keys,
            seams.interrupt,
            seams.tell,
            no_status,
            [&](const float* block, std::size_t count) { samples.append(block, count); },
            [&] {
                seams.out << "\n[" << i + 1 << "/" << prompts.size() << "] " << prompts[i] << "\n"
                          << std::flush;
            },
            {},
            "dictate-enrol",
            "the sentence's recording",
            {},  // an Enter before any sound would keep an empty recording: the sentence goes on, unsaid
        });
        if (!recorded.started) return failure_status;
        if (recorded.end == WaitEnd::capture_stopped) {
            seams.tell("audio: the input device stopped delivering sound; sentence " + std::to_string(i + 1) +
                       " was not kept");
            (void)close_source(seams.sound, seams.tell);
            return failure_status;
        }
        if (recorded.end != WaitEnd::key) {
            const bool closed = close_source(seams.sound, seams.tell);
            seams.out << "\nStopped; " << count_read(seams.folder, prompts.size()) << " of " << prompts.size()
                      << " sentences read. Run again to go on.\n"
                      << std::flush;
            if (!closed) return failure_status;
            // An interrupt that came with the end of input (Ctrl-C, then the terminal gone) is still one.
            return recorded.end == WaitEnd::interrupted || seams.interrupt.requested()
                       ? seams.interrupt.exit_status()
                       : 0;
        }
        // Written before the source is closed, as a take is: closing waits for a device that hangs.
        const bool kept = keep_pair(seams, stem_of(i), prompts[i], samples);
        if (!close_source(seams.sound, seams.tell) || !kept) return failure_status;
    }
    seams.out << "\nAll " << prompts.size() << " sentences are read. Teach the server your voice with:\n"
              << "  dictate-server --adapt " << seams.folder << "\n"
              << std::flush;
    return 0;
}
