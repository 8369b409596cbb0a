// Where takes are sent and how the server there is spoken to: the bundled server's own request, or the
// widespread transcription API's, chosen by the address's path.
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace transcription {

// The address takes go to unless the person names another.
inline constexpr const char* transcription_endpoint = "http://localhost:4999/transcribe";
// The path ending that marks a server of the widespread transcription API.
inline constexpr std::string_view widespread_api_path = "/v1/audio/transcriptions";
// The model such a server is asked for unless the person names another.
inline constexpr const char* default_model = "whisper-1";

// A transcription server and what every request to it carries. An address alone (the tests', the
// benchmarks') is a server reached with no key, asked for the default model if its path says it speaks the
// widespread API.
struct Endpoint {
    Endpoint(std::string address = transcription_endpoint) : url(std::move(address)) {}
    Endpoint(const char* address) : url(address) {}

    std::string url;
    std::string model = default_model;  // only servers of the widespread API are told it
    std::string api_key;                // sent as "Authorization: Bearer" when not empty; never shown
};

// The parts of an address that decide how it is reached.
struct UrlParts {
    std::string scheme;  // lower case
    std::string host;    // an IPv6 address in its brackets
    std::string port;    // empty when the address gives none
    std::string path;    // at least "/"
};

// Splits `url` with the HTTP library's own reader, so that what is checked here is what a request goes to.
// Returns false, with `problem` saying why in a few words, for an address the library can't read, without
// a scheme, or with one other than http or https. Needs no set-up of the library; any thread.
bool split_server_url(const std::string& url, UrlParts& parts, std::string& problem);

// True for a host that is this machine by its name or address: localhost (and names under .localhost),
// 127.0.0.0/8, ::1.
bool is_loopback_host(std::string_view host);

// True when the server at `url` is spoken to in the widespread API: its path ends in widespread_api_path.
bool speaks_widespread_api(const std::string& url);

// The health address of the server at `url`: the same scheme, host and port, path "/health".
std::string health_url_of(const std::string& url);

}  // namespace transcription
