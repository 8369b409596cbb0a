#include "app/take_file.h"

#include <cstdio>

#include "audio/wav_writer.h"
#include "platform/durable_file.h"

namespace {

void sync_file_and_folder(const std::string& path, const std::string& folder) {
    FileHandle file;
    if (open_existing(path, file) == 0) {
        (void)sync_data(file);
        close_file(file);
    }
    (void)sync_directory(folder);
}

}  // namespace

std::string seconds_of(std::uint64_t samples) {
    // Under a tenth of a second, "0.0 s" would read as nothing at all.
    if (samples < 4800) return std::to_string(samples) + (samples == 1 ? " sample" : " samples");
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(samples) / WavHeader::sample_rate);
    return text;
}

std::string pause_told(std::string_view program, std::chrono::milliseconds gap,
                       std::string_view what_goes_on) {
    const auto samples = static_cast<std::uint64_t>(gap.count()) * (WavHeader::sample_rate / 1000);
    return std::string(program) + " did not get to run for " + seconds_of(samples) +
           " (stopped and continued, the machine asleep, or the system too busy); " +
           std::string(what_goes_on) + " goes on, holding what the sound system kept of that time";
}

KeptTake keep_take(const TakePaths& paths, TakeJournal& journal, SampleBuffer& rest,
                   const std::string& timestamp, SpareFolder& spare) {
    KeptTake kept;
    kept.samples = journal.samples_lost() + journal.samples_on_disk() + rest.size();
    if (journal.has_file()) {
        // The journal stopped mid-take: one file of the whole take, if the disk takes the rest now.
        if (rest.size() > 0 && journal.join(rest) == 0) rest.clear();
        kept.error = journal.failure();
        if (rest.size() > 0) {
            kept.copy_tried = true;
            kept.copy = spare.keep(timestamp, journal.file(), journal.samples_on_disk(), rest);
        }
        kept.samples_in_folder = journal.samples_on_disk();
        kept.name = claim_take_name(paths, timestamp,
                                    [&](const std::string& path) { return journal.finish_as(path); });
        // finish_as synced file and folder; when it failed, the take is still the journal.
        kept.in_folder = kept.name.error == 0 ? kept.name.wav_path : journal.path();
        if (kept.name.error != 0) kept.error = kept.name.error;
    } else {
        WavWrite write;
        kept.name = claim_take_name(paths, timestamp, [&](const std::string& path) {
            write = write_wav(path, rest);
            return write.error;
        });
        kept.error = write.error;
        if (write.file_kept) {
            kept.in_folder = kept.name.wav_path;
            kept.samples_in_folder = write.samples_on_disk;
            sync_file_and_folder(kept.in_folder, paths.wav_folder);
        }
        if (write.error != 0) {
            kept.copy_tried = true;
            kept.copy = spare.keep(timestamp, FileHandle{}, 0, rest);
        }
    }
    if (kept.error == 0 && journal.samples_lost() > 0) kept.error = journal.failure();

    if (!kept.in_folder.empty() && kept.samples_in_folder == kept.samples) {
        kept.output_path = kept.in_folder;
    } else if (kept.copy_tried && kept.copy.error == 0) {
        kept.output_path = kept.copy.path;
        kept.lost = journal.samples_lost();
    } else {
        kept.output_path = kept.in_folder;  // possibly none
        kept.lost = kept.samples - kept.samples_in_folder;
    }
    return kept;
}

std::string describe_failure(const KeptTake& kept) {
    const bool renamed = kept.in_folder == kept.name.wav_path;
    std::string line =
        "could not write the recording to " + kept.name.wav_path + ": " + error_text(kept.error);
    if (!kept.in_folder.empty() && !renamed) {
        line += "; the take is kept as " + kept.in_folder;
        if (kept.samples_in_folder != kept.samples)
            line += " (" + seconds_of(kept.samples_in_folder) + " of its " + seconds_of(kept.samples) + ")";
    } else if (!kept.in_folder.empty() && kept.samples_in_folder != kept.samples) {
        line += "; the file holds " + seconds_of(kept.samples_in_folder) + " of the take's " +
                seconds_of(kept.samples);
    } else if (kept.in_folder.empty()) {
        line += "; none of the take's " + seconds_of(kept.samples) + " is there";
    }
    if (kept.copy_tried && kept.copy.error == 0) {
        line += "; the whole take is kept instead as " + kept.copy.path;
    } else if (kept.copy_tried) {
        line += "; keeping it in " + kept.copy.path + " failed too (" + error_text(kept.copy.error) + ")";
    }
    if (kept.lost > 0 && kept.lost == kept.samples) {
        line += ": the recording is lost";
    } else if (kept.lost > 0) {
        line += ": " + seconds_of(kept.lost) + " of it is lost";
    }
    return line;
}
