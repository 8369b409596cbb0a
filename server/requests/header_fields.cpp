#include "server/requests/header_fields.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace server {
namespace {

bool is_token_char(char c) {
    if (std::isalnum(static_cast<unsigned char>(c))) return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// Reads from `text` at `at`, moving `at` past what was read.
class Cursor {
public:
    explicit Cursor(std::string_view text) : text_(text) {}
    bool done() const { return at_ == text_.size(); }
    void skip_space() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t')) ++at_;
    }
    bool take(char c) {
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    std::string_view token() {
        const std::size_t from = at_;
        while (at_ < text_.size() && is_token_char(text_[at_])) ++at_;
        return text_.substr(from, at_ - from);
    }
    // A quoted string after its opening quote; nothing if it never closes.
    std::optional<std::string> quoted_rest() {
        std::string out;
        while (at_ < text_.size()) {
            const char c = text_[at_++];
            if (c == '"') return out;
            if (c == '\\' && at_ < text_.size()) {
                out.push_back(text_[at_++]);
            } else {
                out.push_back(c);
            }
        }
        return std::nullopt;
    }

private:
    std::string_view text_;
    std::size_t at_ = 0;
};

}  // namespace

bool same_name(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

const std::string* find_header(const Headers& headers, std::string_view name) {
    for (const auto& [key, value] : headers) {
        if (same_name(key, name)) return &value;
    }
    return nullptr;
}

const std::string* FieldValue::parameter(std::string_view name) const {
    for (const auto& [key, value] : parameters) {
        if (key == name) return &value;
    }
    return nullptr;
}

std::optional<FieldValue> parse_field_value(std::string_view text) {
    Cursor in(text);
    in.skip_space();
    FieldValue out;
    std::string_view first = in.token();
    if (first.empty()) return std::nullopt;
    out.token = lower(first);
    if (in.take('/')) {  // a media type is type/subtype
        const std::string_view sub = in.token();
        if (sub.empty()) return std::nullopt;
        out.token += '/';
        out.token += lower(sub);
    }
    in.skip_space();
    while (in.take(';')) {
        in.skip_space();
        if (in.done()) break;  // a trailing ';' is harmless
        const std::string_view name = in.token();
        in.skip_space();
        if (name.empty() || !in.take('=')) return std::nullopt;
        in.skip_space();
        std::string value;
        if (in.take('"')) {
            auto quoted = in.quoted_rest();
            if (!quoted) return std::nullopt;
            value = std::move(*quoted);
        } else {
            value = std::string(in.token());
            if (value.empty()) return std::nullopt;
        }
        out.parameters.emplace_back(lower(name), std::move(value));
        in.skip_space();
    }
    if (!in.done()) return std::nullopt;
    return out;
}

std::optional<std::string> form_data_boundary(std::string_view content_type) {
    const auto value = parse_field_value(content_type);
    if (!value || value->token != "multipart/form-data") return std::nullopt;
    const std::string* boundary = value->parameter("boundary");
    if (boundary == nullptr || boundary->empty() || boundary->size() > 70) return std::nullopt;
    return *boundary;
}

BodyLength body_length(const Headers& headers) {
    BodyLength out;
    for (const auto& [key, value] : headers) {
        if (!same_name(key, "Content-Length")) continue;
        std::string_view rest = value;
        do {
            const std::size_t comma = rest.find(',');
            std::string_view item = rest.substr(0, comma);
            while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
            while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
            std::uint64_t bytes = 0;
            const auto [end, ec] = std::from_chars(item.data(), item.data() + item.size(), bytes);
            const bool digits = !item.empty() && ec == std::errc() && end == item.data() + item.size() &&
                                std::isdigit(static_cast<unsigned char>(item.front()));
            if (!digits || (out.kind == BodyLength::Kind::known && bytes != out.bytes)) {
                return {BodyLength::Kind::malformed, 0, value};
            }
            out.kind = BodyLength::Kind::known;
            out.bytes = bytes;
            rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
            if (comma != std::string_view::npos && rest.empty())
                return {BodyLength::Kind::malformed, 0, value};
        } while (!rest.empty());
    }
    return out;
}

}  // namespace server
