#include "transcription/transcription_request.h"

#include <curl/curl.h>

#include <utility>

#include "transcription/transcription_request_internal.h"

namespace transcription_detail {

namespace {

// Long enough for a busy machine to accept a loopback connection, short enough that a missing server
// does not stall the dictation loop.
constexpr long connect_timeout_seconds = 10;

}  // namespace

std::size_t write_callback(char* data, std::size_t size, std::size_t count, void* reply) noexcept {
    const std::size_t bytes = size * count;
    static_cast<std::string*>(reply)->append(data, bytes);
    return bytes;
}

std::string send_audio_to(std::string url, std::string wav_path) {
    std::string reply;

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

        curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
        curl_easy_setopt(handle, CURLOPT_VERBOSE, 1L);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        curl_easy_setopt(handle, CURLOPT_HTTPPOST, form);
#pragma GCC diagnostic pop
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, write_callback);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, &reply);
        curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, connect_timeout_seconds);

        // The result is deliberately ignored: whatever arrived is the answer, and the trace on standard
        // error already says what went wrong.
        curl_easy_perform(handle);

        curl_easy_cleanup(handle);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        curl_formfree(form);
#pragma GCC diagnostic pop
        curl_slist_free_all(headers);
    }
    curl_global_cleanup();
    return reply;
}

}  // namespace transcription_detail

std::string send_audio(std::string wav_path) {
    return transcription_detail::send_audio_to(transcription_detail::transcription_endpoint,
                                               std::move(wav_path));
}
