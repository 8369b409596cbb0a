#include "transcription/transcription_request.h"

#include <curl/curl.h>

#include <utility>

#include "transcription/http_transfer.h"
#include "transcription/transcription_exchange.h"
#include "transcription/transcription_request_internal.h"

std::string transcription_detail::send_audio_to(std::string url, std::string wav_path) {
    return transcription::exchange(std::move(url), std::move(wav_path), transcription::ExchangeWatch{}).body;
}

transcription::ExchangeOutcome transcription::exchange(std::string url, std::string wav_path,
                                                       const ExchangeWatch& watch) {
    // The global state is set up and torn down per call so that nothing of the library outlives a request.
    curl_global_init(CURL_GLOBAL_ALL);
    curl_httppost* form = nullptr;
    curl_httppost* form_last = nullptr;
    // Newer libraries mark the form builder deprecated; it stays because it produces exactly the multipart
    // body servers already accept, and the bytes on the wire are what matter.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    // The library opens the file only during the transfer and names the part after the file's last path
    // component.
    curl_formadd(&form, &form_last, CURLFORM_COPYNAME, "audio", CURLFORM_FILE, wav_path.c_str(),
                 CURLFORM_END);
    ExchangeOutcome outcome = transcription_detail::perform_post(
        url, [form](CURL* handle) { curl_easy_setopt(handle, CURLOPT_HTTPPOST, form); }, watch);
    curl_formfree(form);
#pragma GCC diagnostic pop
    curl_global_cleanup();
    return outcome;
}

std::string send_audio(std::string wav_path) {
    return transcription_detail::send_audio_to(transcription::transcription_endpoint, std::move(wav_path));
}
