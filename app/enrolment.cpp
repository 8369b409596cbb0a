#include "app/enrolment.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <system_error>

#include "app/enrolment_prompts.h"
#include "app/key_wait.h"
#include "app/take_file.h"
#include "audio/microphone_capture.h"
#include "audio/sample_buffer.h"
#include "audio/sample_ring.h"
#include "audio/wav_writer.h"

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
    for (std::size_t i = 0; i < prompts.size(); ++i) {
        if (is_read(seams.folder, i)) continue;
        samples.clear();
        ring.reset();
        MicrophoneCapture capture;
        if (const auto failure = [&] {
                const AbortTold told = audio_library_abort_told();
                return capture.start(ring);
            }()) {
            seams.tell("audio: " + failure->call + " failed: " + failure->reason);
            return failure_status;
        }
        keys.drop_typed_ahead();
        seams.out << "\n[" << i + 1 << "/" << prompts.size() << "] " << prompts[i] << "\n" << std::flush;
        const auto keep = [&] {
            ring.drain([&](const float* block, std::size_t count) { samples.append(block, count); });
        };
        WaitEnd end = WaitEnd::key;
        do {  // an Enter before any sound would keep an empty recording: the sentence goes on
            end = keys.wait_for_take_end(seams.interrupt.fd, [&] {
                keep();
                const bool recording = capture.running() && !capture.stalled();
                // A time the process did not run is not the device's fault: the sentence goes on.
                if (const auto gap = capture.paused(); gap.count() > 0) {
                    seams.tell(pause_told("dictate-enrol", gap, "the sentence's recording"));
                }
                return recording;
            });
            keep();
        } while (end == WaitEnd::key && samples.size() == 0);
        capture.seal();
        keep();
        const auto close_failure = end == WaitEnd::capture_stopped ? std::nullopt : capture.stop();
        if (end == WaitEnd::capture_stopped) {
            capture.abandon();
            seams.tell("audio: the input device stopped delivering sound; sentence " + std::to_string(i + 1) +
                       " was not kept");
            return failure_status;
        }
        if (end != WaitEnd::key) {
            seams.out << "\nStopped; " << count_read(seams.folder, prompts.size()) << " of " << prompts.size()
                      << " sentences read. Run again to go on.\n"
                      << std::flush;
            // An interrupt that came with the end of input (Ctrl-C, then the terminal gone) is still one.
            return end == WaitEnd::interrupted || seams.interrupt.requested() ? seams.interrupt.exit_status()
                                                                              : 0;
        }
        const std::string wav = seams.folder + stem_of(i) + ".wav";
        if (const WavWrite written = write_wav(wav, samples); written.error != 0) {
            seams.tell("cannot write " + wav + ": " + std::strerror(written.error));
            return failure_status;
        }
        const std::string text = seams.folder + stem_of(i) + ".txt";
        std::ofstream(text) << prompts[i] << '\n';
        if (!is_read(seams.folder, i)) {
            seams.tell("cannot write " + text + ": " + std::strerror(errno));
            return failure_status;
        }
        if (close_failure) {
            seams.tell("audio: " + close_failure->call + " failed: " + close_failure->reason);
            return failure_status;
        }
    }
    seams.out << "\nAll " << prompts.size() << " sentences are read. Teach the server your voice with:\n"
              << "  dictate-server --adapt " << seams.folder << "\n"
              << std::flush;
    return 0;
}
