#include "transcription/http_trace.h"

#include <iostream>
#include <string>

int write_http_trace(CURL*, curl_infotype type, char* data, std::size_t size, void*) {
    const char* mark = nullptr;
    switch (type) {
        case CURLINFO_TEXT:
            mark = "* ";
            break;
        case CURLINFO_HEADER_OUT:
            mark = "> ";
            break;
        case CURLINFO_HEADER_IN:
            mark = "< ";
            break;
        default:
            return 0;
    }
    try {
        std::string piece = mark;
        piece.append(data, size);
        std::cerr.write(piece.data(), static_cast<std::streamsize>(piece.size()));
        std::cerr.flush();
    } catch (...) {
        // A trace line that could not be shown is no reason to stop the transfer.
    }
    return 0;
}
