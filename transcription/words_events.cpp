#include "transcription/words_events.h"

#include <nlohmann/json.hpp>

namespace transcription {

WordsEventReader::State WordsEventReader::feed(std::string_view bytes) {
    for (const char c : bytes) {
        if (state_ != State::reading) break;
        if (c == '\n' && after_cr_) {
            after_cr_ = false;
            continue;
        }
        after_cr_ = c == '\r';
        if (c == '\r' || c == '\n') {
            take_line();
            line_.clear();
        } else if (line_.size() >= cap_) {
            state_ = State::failed;
        } else {
            line_ += c;
        }
    }
    return state_;
}

void WordsEventReader::take_line() {
    if (line_.empty()) {
        dispatch();
        return;
    }
    if (line_.front() == ':') return;  // a comment: the server keeping the connection alive
    const std::size_t colon = line_.find(':');
    const std::string_view field = std::string_view(line_).substr(0, colon);
    std::string_view value;
    if (colon != std::string::npos) {
        value = std::string_view(line_).substr(colon + 1);
        if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    }
    if (field == "event") {
        event_ = value;
    } else if (field == "data") {
        if (data_.size() + value.size() + 1 > cap_) {
            state_ = State::failed;
            return;
        }
        if (has_data_) data_ += '\n';
        data_ += value;
        has_data_ = true;
    }
}

void WordsEventReader::dispatch() {
    if (event_ == "end") {
        state_ = State::ended;
    } else if (event_ == "words" && has_data_) {
        // The parser refuses ill-formed UTF-8 and lone surrogates, so the text is well formed.
        const auto data = nlohmann::json::parse(data_, nullptr, false);
        const auto member = data.is_object() ? data.find("text") : data.end();
        if (!data.is_object() || member == data.end() || !member->is_string()) {
            state_ = State::failed;
        } else {
            text_ = member->get<std::string>();
            ++texts_read_;
        }
    }
    event_.clear();
    data_.clear();
    has_data_ = false;
}

}  // namespace transcription
