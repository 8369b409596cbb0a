#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace server {

// Request headers as received, repeats included; names compare case-insensitively.
using Headers = std::vector<std::pair<std::string, std::string>>;

bool same_name(std::string_view a, std::string_view b);

// The first header called `name`, or null.
const std::string* find_header(const Headers& headers, std::string_view name);

// A header value of the form `token ; name=value ; ...` (a media type, a content disposition): the
// leading token lower-cased, and its parameters with lower-cased names and unquoted values. Parameters may
// come in any order, with spaces around ';' and '=', and values may be tokens or quoted strings with
// backslash escapes. Nothing when the value does not have that form. Pure.
struct FieldValue {
    std::string token;
    std::vector<std::pair<std::string, std::string>> parameters;

    // The value of parameter `name` (lower case), or null.
    const std::string* parameter(std::string_view name) const;
};
std::optional<FieldValue> parse_field_value(std::string_view text);

// The multipart/form-data boundary named by a Content-Type value, or nothing when the type is another one
// or the boundary is missing, empty or longer than the 70 characters a boundary may have. Pure.
std::optional<std::string> form_data_boundary(std::string_view content_type);

// What the Content-Length headers of a request say, all of them taken together: absent, one length (the
// same digits may be repeated, in several headers or a comma-separated list), or malformed (not digits,
// or two different lengths: a request two parsers could frame differently). Pure.
struct BodyLength {
    enum class Kind { absent, known, malformed } kind = Kind::absent;
    std::uint64_t bytes = 0;
    std::string text;  // the offending value when malformed
};
BodyLength body_length(const Headers& headers);

}  // namespace server
