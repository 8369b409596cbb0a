#include "transcription/server_address.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <memory>

namespace transcription {
namespace {

std::string lower(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return result;
}

// One part of a parsed address; empty when the address has none.
std::string part_of(CURLU* url, CURLUPart which) {
    char* text = nullptr;
    if (curl_url_get(url, which, &text, 0) != CURLUE_OK || text == nullptr) return "";
    std::string result(text);
    curl_free(text);
    return result;
}

}  // namespace

bool split_server_url(const std::string& url, UrlParts& parts, std::string& problem) {
    const std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> handle(curl_url(), curl_url_cleanup);
    if (!handle) {
        problem = "out of memory";
        return false;
    }
    // No scheme is guessed (the library's flag for that is left off): an address typed without one is
    // more likely a mistake, and a guess could send the take unencrypted.
    const CURLUcode read = curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), 0);
    if (read != CURLUE_OK) {
        if (read == CURLUE_BAD_SCHEME || read == CURLUE_UNSUPPORTED_SCHEME)
            problem = "it needs to begin with http:// or https://";
        else
            problem.assign("it is not an address (").append(curl_url_strerror(read)).append(")");
        return false;
    }
    parts.scheme = lower(part_of(handle.get(), CURLUPART_SCHEME));
    if (parts.scheme != "http" && parts.scheme != "https") {
        problem = "dictate speaks http:// and https:// only";
        return false;
    }
    parts.host = part_of(handle.get(), CURLUPART_HOST);
    if (parts.host.empty()) {
        problem = "it names no host";
        return false;
    }
    parts.port = part_of(handle.get(), CURLUPART_PORT);
    parts.path = part_of(handle.get(), CURLUPART_PATH);
    if (parts.path.empty()) parts.path.push_back('/');
    return true;
}

bool is_loopback_host(std::string_view host) {
    const std::string name = lower(host);
    if (name == "localhost" || name.ends_with(".localhost") || name == "[::1]") return true;
    // 127.0.0.0/8 written as the dotted address the library normalises it to.
    if (!name.starts_with("127.")) return false;
    int dots = 0;
    for (const char c : name) {
        if (c == '.')
            ++dots;
        else if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    }
    return dots == 3;
}

bool speaks_widespread_api(const std::string& url) {
    UrlParts parts;
    std::string problem;
    if (!split_server_url(url, parts, problem)) return false;
    std::string_view path = parts.path;
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    return path.ends_with(widespread_api_path);
}

std::string health_url_of(const std::string& url) {
    UrlParts parts;
    std::string problem;
    if (!split_server_url(url, parts, problem)) return url;  // the request then fails as the upload would
    std::string health = parts.scheme + "://" + parts.host;
    if (!parts.port.empty()) health.append(":").append(parts.port);
    return health.append("/health");
}

}  // namespace transcription
