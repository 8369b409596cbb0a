#include "platform/console_output.h"

#include <io.h>
#include <windows.h>

#include <iostream>
#include <streambuf>
#include <string>

namespace {

// How many of the last bytes of `text` begin a UTF-8 sequence that the next write will finish.
std::size_t unfinished_tail(const std::string& text) {
    std::size_t back = 0;
    while (back < 3 && back < text.size() &&
           (static_cast<unsigned char>(text[text.size() - 1 - back]) & 0xC0) == 0x80)
        ++back;
    if (back == text.size()) return 0;
    const auto lead = static_cast<unsigned char>(text[text.size() - 1 - back]);
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    return length > back + 1 ? back + 1 : 0;
}

// The buffer of a standard stream whose descriptor may be a console. Nothing is held back but the start of
// a character whose remaining bytes have not been written yet, so every write reaches the console (or the
// stream's old buffer) as one piece: a line written at once is never broken up by another writer.
class ConsoleTextBuffer : public std::streambuf {
public:
    ConsoleTextBuffer(int fd, std::streambuf* raw) : fd_(fd), raw_(raw) {}

protected:
    std::streamsize xsputn(const char* data, std::streamsize count) override {
        pending_.append(data, static_cast<std::size_t>(count));
        return pass_on() ? count : 0;
    }

    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return sync() == 0 ? 0 : traits_type::eof();
        pending_ += traits_type::to_char_type(c);
        return pass_on() ? c : traits_type::eof();
    }

    int sync() override {
        if (!pass_on()) return -1;
        return console() ? 0 : raw_->pubsync();
    }

private:
    HANDLE handle() const { return reinterpret_cast<HANDLE>(_get_osfhandle(fd_)); }

    bool console() const {
        DWORD mode = 0;
        return GetConsoleMode(handle(), &mode) != 0;
    }

    bool pass_on() {
        if (!console()) {
            const auto size = static_cast<std::streamsize>(pending_.size());
            const bool whole = raw_->sputn(pending_.data(), size) == size;
            pending_.clear();
            return whole;
        }
        const std::size_t ready = pending_.size() - unfinished_tail(pending_);
        if (ready == 0) return true;
        std::wstring text = wide_with_crlf(pending_.substr(0, ready));
        pending_.erase(0, ready);
        return write_console(text);
    }

    static std::wstring wide_with_crlf(const std::string& utf8) {
        // Bytes that are not UTF-8 become U+FFFD, as a terminal shows them.
        const int length =
            MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
        std::wstring wide(static_cast<std::size_t>(length), L'\0');
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), length);
        std::wstring shown;
        shown.reserve(wide.size() + 8);
        for (const wchar_t unit : wide) {
            if (unit == L'\n') shown += L'\r';  // as the C runtime's text mode writes a line end
            shown += unit;
        }
        return shown;
    }

    bool write_console(const std::wstring& text) {
        // Older consoles refuse very large writes; a few kilobytes at a time always goes.
        constexpr std::size_t most_per_call = 8192;
        std::size_t done = 0;
        while (done < text.size()) {
            const std::size_t chunk = text.size() - done < most_per_call ? text.size() - done : most_per_call;
            DWORD written = 0;
            if (!WriteConsoleW(handle(), text.data() + done, static_cast<DWORD>(chunk), &written, nullptr) ||
                written == 0)
                return false;
            done += written;
        }
        return true;
    }

    int fd_;
    std::streambuf* raw_;
    std::string pending_;
};

}  // namespace

void show_console_text_exactly() {
    // Never freed: the streams are flushed while the program's statics are destroyed.
    std::cout.rdbuf(new ConsoleTextBuffer(1, std::cout.rdbuf()));
    std::cerr.rdbuf(new ConsoleTextBuffer(2, std::cerr.rdbuf()));
}
