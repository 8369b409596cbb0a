#pragma once

#include <curl/curl.h>

#include <cstddef>

// The HTTP library's debug callback (CURLOPT_DEBUGFUNCTION): the trace of an exchange as its verbose mode
// writes it ("* " before its own notes, "> " before the request's header, "< " before each header line of
// the reply; bodies are left out), but through std::cerr, so that the trace reaches the console as the
// program's other messages do: as UTF-16 on a Windows console (show_console_text_exactly()), raw bytes
// elsewhere. Each piece is one write. Runs on the thread of the transfer; never throws; always returns 0.
int write_http_trace(CURL* handle, curl_infotype type, char* data, std::size_t size, void* unused);
