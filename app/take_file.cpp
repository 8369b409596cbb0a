#include "app/take_file.h"

#include <cerrno>
#include <cstdio>

#include "app/recording_cycle.h"
#include "platform/durable_file.h"
#include "audio/wav_writer.h"

namespace {

void sync_file_and_folder(const std::string& path) {
    FileHandle file;
    if (open_existing(path, file) == 0) {
        (void)sync_data(file);
        close_file(file);
    }
    (void)sync_directory(wav_directory);
}

}  // namespace

std::string seconds_of(std::uint64_t samples) {
    // Under a tenth of a second, "0.0 s" would read as nothing at all.
    if (samples < 4800) return std::to_string(samples) + (samples == 1 ? " sample" : " samples");
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(samples) / 48000.0);
    return text;
}

KeptTake keep_take(TakeJournal& journal, const SampleBuffer& recorded_samples, const std::string& timestamp) {
    KeptTake kept;
    if (journal.has_file()) {
        kept.name =
            claim_take_name(timestamp, [&](const std::string& path) { return journal.finish_as(path); });
        if (kept.name.error == 0) {
            // finish_as synced file and folder.
            kept.file_kept = true;
            kept.samples_on_disk = journal.samples_on_disk();
            kept.error = journal.failure();
            kept.written_partly = kept.error != 0;
            return kept;
        }
        kept.error = kept.name.error;
        kept.left_at = journal.path();
        return kept;
    }

    WavWrite write;
    kept.name = claim_take_name(timestamp, [&](const std::string& path) {
        write = write_wav(path, recorded_samples);
        return write.error;
    });
    kept.error = write.error;
    kept.file_kept = write.file_kept;
    kept.samples_on_disk = write.samples_on_disk;
    kept.written_partly = write.created && write.error != 0;
    if (kept.file_kept) sync_file_and_folder(kept.name.wav_path);
    return kept;
}

std::string describe_failure(const KeptTake& kept, std::uint64_t samples_in_take) {
    std::string line =
        "could not write the recording to " + kept.name.wav_path + ": " + error_text(kept.error);
    if (kept.file_kept) {
        line += "; the file holds " + seconds_of(kept.samples_on_disk) + " of the take's " +
                seconds_of(samples_in_take);
    } else if (!kept.left_at.empty()) {
        line += "; the take is kept as " + kept.left_at;
    } else if (kept.written_partly) {
        line += "; none of the take's " + seconds_of(samples_in_take) + " is on disk";
    }
    return line;
}
