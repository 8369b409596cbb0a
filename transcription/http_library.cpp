#include "transcription/http_library.h"

#include <curl/curl.h>

namespace transcription {

HttpLibrary::HttpLibrary() {
    // CURL_GLOBAL_ALL also starts Windows' sockets, which every request needs there.
    if (const CURLcode result = curl_global_init(CURL_GLOBAL_ALL); result != CURLE_OK)
        problem_ = std::string("the HTTP library could not be set up: ") + curl_easy_strerror(result);
}

HttpLibrary::~HttpLibrary() {
    // A set-up that failed left nothing to tear down.
    if (problem_.empty()) curl_global_cleanup();
}

}  // namespace transcription
