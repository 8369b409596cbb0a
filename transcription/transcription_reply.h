// Reading the transcription out of the server's reply.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// Parses body as one JSON document and returns its "text" member, a string, as UTF-8 bytes. Other members
// are ignored; whitespace around the document and a leading UTF-8 byte-order mark are accepted; comments
// are not.
//
// Failure: throws the JSON library's own exceptions (nlohmann::json::exception subclasses) and catches
// none of them, so the caller decides what an unusable reply means:
//   - parse_error 101: body empty (as after a failed transfer), not JSON, or followed by anything but
//     whitespace;
//   - type_error 305: the document is an array, string, number or boolean;
//   - type_error 302: "text" missing, null, or not a string, and also a document that is just null.
//
// Thread: any; it touches no shared state.
std::string extract_text(std::string body);

// The server's own explanation in an error reply: the "error" member of a JSON object when it is a
// string, or that member's own "message" string when it is an object (as the widespread transcription
// API sends); nothing for any other body. Never throws for anything the body holds (only std::bad_alloc).
// Thread: any.
std::optional<std::string> error_member(std::string_view body);

// True when `body` is one whole JSON object or array (whitespace around it allowed), as a reply that has
// all arrived is; false for one cut short or anything else. Never throws but std::bad_alloc.
// Thread: any.
bool is_whole_json(std::string_view body);
