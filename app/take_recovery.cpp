#include "app/take_recovery.h"

#include <ostream>

#include "app/console_messages.h"
#include "app/take_file.h"
#include "app/take_names.h"
#include "platform/durable_file.h"
#include "audio/journal_recovery.h"

namespace {

void recover(const std::string& journal_path, const CycleSeams& seams) {
    RepairedJournal repaired = repair_journal(journal_path);
    switch (repaired.outcome) {
        case RepairedJournal::Outcome::in_use:
        case RepairedJournal::Outcome::held_nothing:
            return;
        case RepairedJournal::Outcome::unrecoverable:
            seams.tell("could not recover the unfinished take " + journal_path + ": " + repaired.reason +
                       "; it is left in place");
            return;
        case RepairedJournal::Outcome::repaired:
            break;
    }
    const ClaimedName name =
        claim_take_name(seams.paths, journal_timestamp(journal_path),
                        [&](const std::string& path) { return rename_no_replace(journal_path, path); });
    close_file(repaired.file);
    if (name.error != 0) {
        seams.tell("could not recover the unfinished take " + journal_path + ": renaming it to " +
                   name.wav_path + " failed: " + error_text(name.error) + "; it is left in place");
        return;
    }
    (void)sync_directory(seams.paths.wav_folder);
    seams.tell("recovered the unfinished take of an earlier run as " + name.wav_path + " (" +
               seconds_of(repaired.samples) + ")");
    seams.out << path_label << name.wav_path << '\n' << std::flush;
    if (seams.transcribe) seams.transcribe(name.wav_path, name.stem, seams.interrupt.requested(), nullptr);
}

}  // namespace

void recover_unfinished_takes(const CycleSeams& seams) {
    for (const std::string& journal_path : find_journals(seams.paths.wav_folder))
        recover(journal_path, seams);
}
