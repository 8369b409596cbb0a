// The event stream a server offering live words answers with (live_words.h), read as it arrives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace transcription {

// Reads an event stream as it arrives, in blocks cut anywhere, keeping the text of the latest "words"
// event. Lines may end in CR LF, LF or CR; lines starting with ':' and events of other names are passed
// over, as are members other than "text". Memory is bounded: a line or an event's data over `cap` bytes, or
// a "words" event whose data is not a JSON object with a string "text" (in well-formed UTF-8), makes the
// stream failed, and it is read no further.
class WordsEventReader {
public:
    enum class State { reading, ended, failed };

    explicit WordsEventReader(std::size_t cap = default_cap) : cap_(cap) {}

    // Takes the next bytes; returns the state after them. Once not `reading`, bytes are ignored.
    State feed(std::string_view bytes);
    State state() const { return state_; }
    // The text of the latest "words" event, and how many have been read.
    const std::string& text() const { return text_; }
    std::uint64_t texts_read() const { return texts_read_; }

    static constexpr std::size_t default_cap = 64 * 1024;

private:
    void take_line();
    void dispatch();

    std::size_t cap_;
    State state_ = State::reading;
    std::string line_;
    bool after_cr_ = false;  // the last line ended in CR: an LF right after it belongs to that end
    std::string event_;      // the name of the event being gathered
    std::string data_;
    bool has_data_ = false;
    std::string text_;
    std::uint64_t texts_read_ = 0;
};

}  // namespace transcription
