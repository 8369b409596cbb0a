#include "app/exchange_failure.h"

#include "transcription/transcription_reply.h"

namespace {

using transcription::Ending;
using transcription::ExchangeOutcome;

// The standard words for the statuses a transcription server is likely to send; the reason phrase on the
// wire is the server's choice and often empty or misleading.
std::string status_words(long status) {
    struct Known {
        long status;
        const char* words;
    };
    static constexpr Known known[] = {
        {200, "OK"},
        {201, "Created"},
        {202, "Accepted"},
        {204, "No Content"},
        {400, "Bad Request"},
        {401, "Unauthorized"},
        {403, "Forbidden"},
        {404, "Not Found"},
        {405, "Method Not Allowed"},
        {408, "Request Timeout"},
        {411, "Length Required"},
        {413, "Content Too Large"},
        {415, "Unsupported Media Type"},
        {422, "Unprocessable Content"},
        {429, "Too Many Requests"},
        {500, "Internal Server Error"},
        {501, "Not Implemented"},
        {502, "Bad Gateway"},
        {503, "Service Unavailable"},
        {504, "Gateway Timeout"},
        {507, "Insufficient Storage"},
    };
    for (const Known& k : known)
        if (k.status == status) return std::to_string(status) + " " + k.words;
    return std::to_string(status);
}

std::string of_total(std::int64_t part, std::int64_t whole) {
    return whole >= 0 ? std::to_string(part) + " of " + std::to_string(whole) : std::to_string(part);
}

std::string explanation(const ExchangeOutcome& outcome) {
    if (auto error = error_member(outcome.body)) return start_of(*error);
    if (outcome.body.empty()) return "(no explanation came with it)";
    return start_of(outcome.body);
}

}  // namespace

std::string start_of(std::string_view text) {
    constexpr std::size_t longest = 240;
    if (text.size() <= longest) return std::string(text);
    std::size_t cut = longest;
    // Never split a UTF-8 sequence: back up over continuation bytes (10xxxxxx) to a character's start.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return std::string(text.substr(0, cut)) + "... (" + std::to_string(text.size() - cut) + " more bytes)";
}

std::string server_of(std::string_view url) {
    const std::size_t scheme = url.find("://");
    const std::size_t start = scheme == std::string_view::npos ? 0 : scheme + 3;
    const std::string_view authority = url.substr(start, url.find_first_of("/?#", start) - start);
    // A name and password written into the address are not the server's name, and never shown.
    const std::size_t at = authority.rfind('@');
    return std::string(at == std::string_view::npos ? authority : authority.substr(at + 1));
}

std::string exchange_failure(const ExchangeOutcome& outcome, std::string_view server) {
    const std::string named = "the transcription server at " + std::string(server);
    const std::string words = " (" + outcome.library_error + ")";
    const bool success = outcome.status >= 200 && outcome.status < 300;
    switch (outcome.ending) {
        case Ending::answered:
            if (success) return "";
            return named + " answered " + status_words(outcome.status) + ": " + explanation(outcome);
        case Ending::refused:
            // A server with all its connections taken may reset a new one before the connect completes.
            return "connection refused: no transcription server is running on " + std::string(server) +
                   ", or it is busy with as many clients as it serves";
        case Ending::not_connected:
            return "could not connect to " + named + words;
        case Ending::dropped:
            // A server with all its connections taken resets a new one unread: the upload sent so far is only
            // what the connection's buffers took.
            if (outcome.status == 0)
                return named + " closed the connection after " +
                       of_total(outcome.bytes_sent, outcome.upload_size) +
                       " bytes of the upload, without answering" + words +
                       (outcome.connection_failed ? ": it may be busy with as many clients as it serves"
                                                  : "");
            return named + " answered " + status_words(outcome.status) + " but closed the connection after " +
                   of_total(outcome.bytes_received, outcome.reply_size) + " bytes of its reply" + words;
        case Ending::over_cap:
            return named + " sent a reply (status " + std::to_string(outcome.status) + ") larger than " +
                   std::to_string(transcription::reply_cap >> 20) + " MiB; it was cut off there";
        case Ending::headers_over_cap:
            return named + " answered " + status_words(outcome.status) +
                   " with headers over dictate's limit of " +
                   std::to_string(transcription::header_cap >> 10) + " KiB; dictate stopped reading there";
        case Ending::stopped:
            return "stopped waiting for " + named + " on request";
        case Ending::unreadable_file:
            return "the recording could not be read for the upload" + words;
        case Ending::failed:
            break;
    }
    return "the exchange with " + named + " failed" + words;
}
