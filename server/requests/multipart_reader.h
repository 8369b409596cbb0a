#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace server {

// Splits a multipart/form-data body into its parts as the bytes arrive, holding back no more than a
// boundary's length of content and one part's headers (at most 16 KiB), so a body of any size is read in
// constant memory. The caller hears of each part's start (its form name and file name) and then of its
// content, in pieces of any size. Used by one thread at a time.
class MultipartReader {
public:
    // Called at the start of each part; `content` is then called with the part's bytes, in order.
    using PartStart = std::function<void(const std::string& name, const std::string& filename)>;
    using Content = std::function<void(std::string_view bytes)>;

    MultipartReader(std::string boundary, PartStart on_part, Content on_content);

    // Takes the next bytes of the body. False once the body is malformed (see error()); later calls then
    // do nothing. Bytes after the closing delimiter are ignored.
    bool feed(std::string_view bytes);
    // Whether the closing delimiter has been read: the body was complete.
    bool complete() const { return state_ == State::done; }
    const std::string& error() const { return error_; }

private:
    enum class State { preamble, after_delimiter, headers, content, done, failed };
    bool fail(std::string why);
    bool start_part();

    std::string delimiter_;  // "\r\n--" + boundary: what ends a part's content
    PartStart on_part_;
    Content on_content_;
    State state_ = State::preamble;
    std::string held_;  // bytes not yet decided on
    std::string error_;
};

}  // namespace server
