#include "server/requests/multipart_reader.h"

#include <algorithm>
#include <optional>

#include "server/requests/header_fields.h"

namespace server {
namespace {

constexpr std::size_t max_part_head = 16 * 1024;

// The Content-Disposition value among a part's header lines.
std::optional<FieldValue> disposition(std::string_view head) {
    while (!head.empty()) {
        const std::size_t end = head.find("\r\n");
        const std::string_view line = head.substr(0, end);
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos && same_name(line.substr(0, colon), "Content-Disposition")) {
            return parse_field_value(line.substr(colon + 1));
        }
        if (end == std::string_view::npos) break;
        head.remove_prefix(end + 2);
    }
    return std::nullopt;
}

}  // namespace

MultipartReader::MultipartReader(std::string boundary, PartStart on_part, Content on_content)
    : delimiter_("\r\n--" + boundary), on_part_(std::move(on_part)), on_content_(std::move(on_content)) {
    // The first delimiter may open the body without the line break before it.
    held_ = "\r\n";
}

bool MultipartReader::fail(std::string why) {
    state_ = State::failed;
    error_ = std::move(why);
    held_.clear();
    return false;
}

bool MultipartReader::start_part() {
    const std::size_t end = held_.find("\r\n\r\n");
    const auto value = disposition(std::string_view(held_).substr(0, end));
    if (!value || value->token != "form-data" || value->parameter("name") == nullptr) {
        return fail("a part of the form has no Content-Disposition: form-data with a name");
    }
    const std::string* filename = value->parameter("filename");
    on_part_(*value->parameter("name"), filename ? *filename : std::string());
    held_.erase(0, end + 4);
    state_ = State::content;
    return true;
}

bool MultipartReader::feed(std::string_view bytes) {
    if (state_ == State::failed) return false;
    if (state_ == State::done) return true;
    held_.append(bytes);
    for (;;) {
        switch (state_) {
            case State::preamble: {
                const std::size_t at = held_.find(delimiter_);
                if (at == std::string::npos) {
                    // Keep only what could still be the start of a delimiter.
                    if (held_.size() >= delimiter_.size())
                        held_.erase(0, held_.size() - delimiter_.size() + 1);
                    return true;
                }
                held_.erase(0, at + delimiter_.size());
                state_ = State::after_delimiter;
                break;
            }
            case State::after_delimiter: {
                if (held_.size() < 2) return true;
                if (held_.compare(0, 2, "--") == 0) {
                    state_ = State::done;
                    held_.clear();
                    return true;
                }
                // Transport padding (spaces, tabs) may follow a delimiter before its line break.
                const std::size_t text = held_.find_first_not_of(" \t");
                if (text == std::string::npos) return true;
                if (held_.size() - text < 2) return true;
                if (held_.compare(text, 2, "\r\n") != 0)
                    return fail("a boundary line of the form is malformed");
                held_.erase(0, text + 2);
                state_ = State::headers;
                break;
            }
            case State::headers: {
                // Headers of an empty set: the blank line comes at once.
                if (held_.compare(0, 2, "\r\n") == 0) held_ = "\r\n" + held_;
                if (held_.find("\r\n\r\n") == std::string::npos) {
                    if (held_.size() > max_part_head) return fail("the headers of a form part exceed 16 KiB");
                    return true;
                }
                if (!start_part()) return false;
                break;
            }
            case State::content: {
                const std::size_t at = held_.find(delimiter_);
                if (at == std::string::npos) {
                    // Pass on all but what could be the start of the delimiter.
                    if (held_.size() >= delimiter_.size()) {
                        const std::size_t safe = held_.size() - delimiter_.size() + 1;
                        on_content_(std::string_view(held_).substr(0, safe));
                        held_.erase(0, safe);
                    }
                    return true;
                }
                if (at > 0) on_content_(std::string_view(held_).substr(0, at));
                held_.erase(0, at + delimiter_.size());
                state_ = State::after_delimiter;
                break;
            }
            case State::done:
                return true;
            case State::failed:
                return false;
        }
    }
}

}  // namespace server
