#include "audio/journal_recovery.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <regex>

#include "audio/take_journal.h"
#include "audio/wav_writer.h"

namespace {

const std::regex& journal_name() {
    static const std::regex name(std::string(R"(^(\d\d)-(\d\d)-(\d{4})_(\d\d)-(\d\d)-(\d\d))") +
                                 TakeJournal::marker + R"(\d+(-\d+)?\.wav$)");
    return name;
}

// True when `bytes` could be the start of a journal's header: every byte but the two size fields, which
// change as the journal grows, is the one the journal writes.
bool starts_like_a_journal(const char* bytes, std::size_t count) {
    const std::string expected = encode_wav_header(WavHeader::for_samples(0));
    for (std::size_t i = 0; i < std::min(count, expected.size()); ++i) {
        const bool size_field = (i >= 4 && i < 8) || i >= 40;
        if (!size_field && bytes[i] != expected[i]) return false;
    }
    return true;
}

std::uint32_t little_endian(const char* bytes, std::size_t count) {
    std::uint32_t value = 0;
    for (std::size_t i = count; i-- > 0;) value = value << 8 | static_cast<unsigned char>(bytes[i]);
    return value;
}

// Why a file named as a journal is not one: another WAV file (a 22 kHz one, say) is told by its format.
std::string why_not_a_journal(const char* header, std::size_t count) {
    const bool wav = count >= WavHeader::size && std::memcmp(header, "RIFF", 4) == 0 &&
                     std::memcmp(header + 8, "WAVEfmt ", 8) == 0;
    if (!wav) return "it does not start with a WAV header";
    return "it is a WAV file of " + std::to_string(little_endian(header + 24, 4)) + " Hz, " +
           std::to_string(little_endian(header + 22, 2)) + " channel(s), " +
           std::to_string(little_endian(header + 34, 2)) + " bits (format " +
           std::to_string(little_endian(header + 20, 2)) +
           "), not one this program records (48000 Hz, 1 channel, 16 bits, format 1)";
}

// Why a name that looks like a journal can't be opened as one, worded for the person.
std::string why_not_opened(int error) {
    switch (error) {
        case ELOOP:
            return "it is a link, and links are never followed";
        case EINVAL:
            return "it is not a regular file";
        case EMLINK:
            return "the file has other names too (hard links), so it may belong elsewhere";
        default:
            return error_text(error);
    }
}

RepairedJournal unrecoverable(RepairedJournal& result, std::string reason) {
    close_file(result.file);
    result.outcome = RepairedJournal::Outcome::unrecoverable;
    result.reason = std::move(reason);
    return std::move(result);
}

// Sortable key of a timestamp "dd-mm-yyyy_HH-MM-SS": "yyyymmddHHMMSS".
std::string chronological(const std::smatch& m) {
    return m[3].str() + m[2].str() + m[1].str() + m[4].str() + m[5].str() + m[6].str();
}

}  // namespace

std::vector<std::string> find_journals(const std::string& directory) {
    std::vector<std::pair<std::string, std::string>> found;
    std::error_code error;
    for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        std::smatch m;
        if (std::regex_match(name, m, journal_name()))
            found.emplace_back(chronological(m) + name, directory + name);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> paths;
    for (auto& f : found) paths.push_back(std::move(f.second));
    return paths;
}

std::string journal_timestamp(const std::string& journal_path) {
    const std::string name = std::filesystem::path(journal_path).filename().string();
    return name.substr(0, name.find(TakeJournal::marker));
}

RepairedJournal repair_journal(const std::string& journal_path) {
    RepairedJournal result;
    // Never through a link: a link named like a journal could lead to any file, which would be cut back and
    // renamed.
    if (const int e = open_existing(journal_path, result.file); e != 0)
        return unrecoverable(result, why_not_opened(e));
    if (const int e = try_lock(result.file); e != 0) {
        close_file(result.file);
        if (e == EWOULDBLOCK)
            result.outcome = RepairedJournal::Outcome::in_use;
        else
            result.reason = error_text(e);
        return result;
    }
    // Locked, but its owner may have finished with it (renamed or removed it) just before.
    if (!still_named(result.file, journal_path)) {
        close_file(result.file);
        result.outcome = RepairedJournal::Outcome::in_use;
        return result;
    }

    std::uint64_t size = 0;
    char header[WavHeader::size];
    std::size_t got = 0;
    if (const int e = file_size(result.file, size); e != 0) return unrecoverable(result, error_text(e));
    if (const int e = read_at(result.file, 0, header, sizeof header, got); e != 0) {
        return unrecoverable(result, error_text(e));
    }
    if (!starts_like_a_journal(header, got)) return unrecoverable(result, why_not_a_journal(header, got));

    if (const int e = settle_partial_wav(result.file, journal_path, size, result.samples); e != 0) {
        return unrecoverable(result, error_text(e));
    }
    if (result.samples == 0) {
        close_file(result.file);
        result.outcome = RepairedJournal::Outcome::held_nothing;
        return result;
    }
    if (const int e = sync_data(result.file); e != 0) return unrecoverable(result, error_text(e));
    result.outcome = RepairedJournal::Outcome::repaired;
    return result;
}
