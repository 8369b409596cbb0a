#include "transcription/transcription_request.h"

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "platform/connection_refused.h"
#include "transcription/http_trace.h"
#include "transcription/transcription_request_internal.h"

namespace transcription_detail {

namespace {

// Long enough for a busy machine to accept a loopback connection, short enough that a missing server
// does not stall the dictation loop.
constexpr long connect_timeout_seconds = 10;

using Clock = std::chrono::steady_clock;

// What the progress callback needs between its calls.
struct Watching {
    const ExchangeWatch& watch;
    CURL* handle;
    curl_off_t last_sent = -1;
    Clock::time_point last_sent_at = Clock::now();
    bool told = false;
};

// The library calls this about once a second while idle, more often while bytes move, and on the next
// turn of its loop when a signal interrupts its wait.
int on_progress(void* data, curl_off_t, curl_off_t received, curl_off_t, curl_off_t sent) noexcept {
    auto& watching = *static_cast<Watching*>(data);
    const ExchangeWatch& watch = watching.watch;
    try {
        if (watch.stop_requested && watch.stop_requested()) return 1;
        const auto now = Clock::now();
        if (sent != watching.last_sent) {
            watching.last_sent = sent;
            watching.last_sent_at = now;
            return 0;
        }
        long status = 0;
        curl_easy_getinfo(watching.handle, CURLINFO_RESPONSE_CODE, &status);
        if (!watching.told && received == 0 && status == 0 && now - watching.last_sent_at >= watch.patience) {
            watching.told = true;
            if (watch.still_waiting) watch.still_waiting();
        }
    } catch (...) {
        return 1;  // an exception cannot cross the library's C frames; stopping is the safe side
    }
    return 0;
}

Ending ending_of(CURLcode result, CURL* handle, const ReplySink& sink) {
    switch (result) {
        case CURLE_OK:
            return Ending::answered;
        case CURLE_ABORTED_BY_CALLBACK:
            return Ending::stopped;
        case CURLE_WRITE_ERROR:
            return sink.over_cap ? Ending::over_cap : Ending::failed;
        case CURLE_COULDNT_CONNECT: {
            long os_error = 0;
            curl_easy_getinfo(handle, CURLINFO_OS_ERRNO, &os_error);
            return is_connection_refused(os_error) ? Ending::refused : Ending::not_connected;
        }
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_OPERATION_TIMEDOUT:  // the only time limit set is the one on connecting
            return Ending::not_connected;
        case CURLE_READ_ERROR:
            return Ending::unreadable_file;
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
            return Ending::dropped;
        default:
            return Ending::failed;
    }
}

void take_figures(CURL* handle, ExchangeOutcome& outcome) {
    curl_off_t value = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &outcome.status);
    if (curl_easy_getinfo(handle, CURLINFO_SIZE_UPLOAD_T, &value) == CURLE_OK) outcome.bytes_sent = value;
    if (curl_easy_getinfo(handle, CURLINFO_CONTENT_LENGTH_UPLOAD_T, &value) == CURLE_OK)
        outcome.upload_size = value;
    if (curl_easy_getinfo(handle, CURLINFO_SIZE_DOWNLOAD_T, &value) == CURLE_OK)
        outcome.bytes_received = value;
    if (curl_easy_getinfo(handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &value) == CURLE_OK)
        outcome.reply_size = value;
}

}  // namespace

std::size_t write_callback(char* data, std::size_t size, std::size_t count, void* sink) noexcept {
    auto& into = *static_cast<ReplySink*>(sink);
    const std::size_t bytes = size * count;
    const std::size_t kept = std::min(bytes, reply_cap - into.body.size());
    // Grown here rather than by append, so the buffer doubles up to the cap but never past it.
    const std::size_t needed = into.body.size() + kept;
    if (needed > into.body.capacity())
        into.body.reserve(std::min(reply_cap, std::max(needed, 2 * into.body.capacity())));
    into.body.append(data, kept);
    if (kept < bytes) {
        into.over_cap = true;
        return 0;  // stops the transfer
    }
    return bytes;
}

ExchangeOutcome exchange(std::string url, std::string wav_path, const ExchangeWatch& watch) {
    ExchangeOutcome outcome;
    ReplySink sink;

    // The global state is set up and torn down per call so that nothing of the library outlives a request.
    curl_global_init(CURL_GLOBAL_ALL);
    if (CURL* handle = curl_easy_init()) {
        curl_httppost* form = nullptr;
        curl_httppost* form_last = nullptr;
        // Newer libraries mark the form builder deprecated; it stays because it produces exactly the
        // multipart body servers already accept, and the bytes on the wire are what matter.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        // The library opens the file only during the transfer and names the part after the file's last path
        // component.
        curl_formadd(&form, &form_last, CURLFORM_COPYNAME, "audio", CURLFORM_FILE, wav_path.c_str(),
                     CURLFORM_END);
#pragma GCC diagnostic pop

        // An empty Expect header keeps the library from asking for "100-continue" on large files and then
        // pausing before the body; the server never sends the interim reply.
        curl_slist* headers = curl_slist_append(nullptr, "Expect:");
        char error_text[CURL_ERROR_SIZE] = "";
        Watching watching{watch, handle};

        curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
        curl_easy_setopt(handle, CURLOPT_VERBOSE, 1L);
        curl_easy_setopt(handle, CURLOPT_DEBUGFUNCTION, write_http_trace);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        curl_easy_setopt(handle, CURLOPT_HTTPPOST, form);
#pragma GCC diagnostic pop
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, write_callback);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, &sink);
        curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, connect_timeout_seconds);
        // The server is on this machine by definition: a proxy named in the environment (http_proxy,
        // all_proxy) would only break the upload, or carry the person's voice off the machine.
        curl_easy_setopt(handle, CURLOPT_PROXY, "");
        curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error_text);
        curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, on_progress);
        curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &watching);
        curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);

        const CURLcode result = curl_easy_perform(handle);
        outcome.library_result = result;
        outcome.ending = ending_of(result, handle, sink);
        if (result != CURLE_OK)
            outcome.library_error = error_text[0] != '\0' ? error_text : curl_easy_strerror(result);
        take_figures(handle, outcome);

        curl_easy_cleanup(handle);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        curl_formfree(form);
#pragma GCC diagnostic pop
        curl_slist_free_all(headers);
    } else {
        outcome.library_error = "the HTTP library could not create a transfer handle";
    }
    curl_global_cleanup();
    outcome.body = std::move(sink.body);
    return outcome;
}

std::string send_audio_to(std::string url, std::string wav_path) {
    return exchange(std::move(url), std::move(wav_path), ExchangeWatch{}).body;
}

}  // namespace transcription_detail

std::string send_audio(std::string wav_path) {
    return transcription_detail::send_audio_to(transcription_detail::transcription_endpoint,
                                               std::move(wav_path));
}
