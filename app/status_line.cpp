#include "app/status_line.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ostream>

#include "app/console_messages.h"
#include "audio/wav_writer.h"
#include "platform/terminal.h"

namespace {

constexpr std::uint64_t rate = WavHeader::sample_rate;
constexpr std::uint64_t redraw_every = rate / 4;
constexpr std::uint64_t clip_held = rate;
constexpr std::uint64_t silence_noticed = 3 * rate;
constexpr int bar_cells = 20;
constexpr double floor_db = -60.0;
// On a terminal narrower than this the prompt itself wraps, and the row under it is not the line's.
constexpr int narrowest = 50;

// The sequences, all of them in the VT100 set that Windows' console also takes.
constexpr char save_cursor[] = {'\x1b', '7', '\0'};
constexpr char restore_cursor[] = {'\x1b', '8', '\0'};
constexpr const char* row_up = "\x1bM";     // scrolls the screen down if at the top, never the case here
constexpr const char* row_down = "\x1b[B";  // never scrolls: the row was made by begin_take()
constexpr const char* clear_row = "\x1b[2K";
constexpr const char* clear_to_end = "\x1b[K";

std::string elapsed(std::uint64_t samples) {
    const std::uint64_t seconds = samples / rate;
    char text[32];
    if (seconds >= 3600) {
        std::snprintf(text, sizeof text, "%llu:%02llu:%02llu",
                      static_cast<unsigned long long>(seconds / 3600),
                      static_cast<unsigned long long>(seconds / 60 % 60),
                      static_cast<unsigned long long>(seconds % 60));
    } else {
        std::snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(seconds / 60),
                      static_cast<unsigned long long>(seconds % 60));
    }
    return text;
}

// The columns a character takes: two for the wide East Asian ranges and emoji, one for any other (a
// combining mark, which takes none, is counted as one: a row cut a little short never wraps).
std::size_t columns_of(char32_t c) {
    const bool wide = (c >= 0x1100 && c <= 0x115f) || (c >= 0x2e80 && c <= 0xa4cf && c != 0x303f) ||
                      (c >= 0xac00 && c <= 0xd7a3) || (c >= 0xf900 && c <= 0xfaff) ||
                      (c >= 0xfe30 && c <= 0xfe4f) || (c >= 0xff00 && c <= 0xff60) ||
                      (c >= 0xffe0 && c <= 0xffe6) || (c >= 0x1f300 && c <= 0x1faff) ||
                      (c >= 0x20000 && c <= 0x3fffd);
    return wide ? 2 : 1;
}

// The character whose bytes are `bytes`; a byte that is no well-formed character stands for itself.
char32_t character_of(std::string_view bytes) {
    const auto lead = static_cast<unsigned char>(bytes[0]);
    const std::size_t length = lead < 0x80 ? 1 : lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 0;
    if (length != bytes.size()) return lead;
    char32_t c = length == 1 ? lead : length == 2 ? lead & 0x1f : length == 3 ? lead & 0x0f : lead & 0x07;
    for (std::size_t i = 1; i < length; ++i) c = (c << 6) | (static_cast<unsigned char>(bytes[i]) & 0x3f);
    return c;
}

}  // namespace

std::string words_that_fit(std::string_view text, std::size_t columns) {
    std::size_t used = 0;
    std::size_t start = text.size();
    while (start > 0) {
        std::size_t begin = start - 1;
        while (begin > 0 && start - begin < 4 && (static_cast<unsigned char>(text[begin]) & 0xc0) == 0x80)
            --begin;
        const std::size_t width = columns_of(character_of(text.substr(begin, start - begin)));
        if (used + width > columns) break;
        used += width;
        start = begin;
    }
    if (start > 0 && text[start - 1] != ' ') {
        // Cut inside a word: the row starts at the next one, if any is left.
        const std::size_t space = text.find(' ', start);
        if (space != std::string_view::npos && space + 1 < text.size()) start = space + 1;
    }
    return std::string(text.substr(start));
}

std::string status_text(std::uint64_t samples, float peak, bool clipping, std::uint64_t silent_samples) {
    const bool audible = peak > InputMeter::silence;
    const double db = audible ? std::max(floor_db, 20.0 * std::log10(std::min(peak, 1.0f))) : floor_db;
    const int cells = audible ? static_cast<int>(std::lround((db - floor_db) / -floor_db * bar_cells)) : 0;
    std::string text = "rec " + elapsed(samples) + " [" + std::string(cells, '#') +
                       std::string(bar_cells - cells, '.') + "] ";
    char level[16];
    if (audible) {
        std::snprintf(level, sizeof level, "%4d dB", static_cast<int>(std::lround(db)));
    } else {
        std::snprintf(level, sizeof level, "<-60 dB");
    }
    text += level;
    if (clipping) {
        text += "  CLIPPING";
    } else if (silent_samples >= silence_noticed) {
        text += "  no sound for " + std::to_string(silent_samples / rate) + " s";
    }
    return text;
}

void StatusLine::begin_take(bool words_row) {
    if (!on()) return;
    words_row_ = words_row;
    words_.clear();
    words_shown_.clear();
    meter_.reset();
    drawn_ = false;
    drawn_at_ = 0;
    clip_shown_until_ = 0;
    columns_ = stderr_columns();
    if (columns_ < narrowest) {
        taking_ = false;
        return;
    }
    taking_ = true;
    // Line ends make the rows below exist, scrolling if need be; back up to the start of the prompt's row.
    make_rows();
}

void StatusLine::make_rows() {
    if (words_row_)
        *terminal_ << "\n\n" << row_up << row_up << std::flush;
    else
        *terminal_ << '\n' << row_up << std::flush;
}

void StatusLine::clear_rows() {
    *terminal_ << save_cursor << row_down << clear_row;
    if (words_row_) *terminal_ << row_down << clear_row;
    *terminal_ << restore_cursor;
}

void StatusLine::show_words(std::string_view words) {
    if (!on() || !words_row_) return;
    // One row: whatever would break it is a space, and what is left that could drive the terminal is
    // shown escaped, as any text from a server is.
    std::string plain(words);
    for (char& c : plain)
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    words_ = console_safe(plain);
}

void StatusLine::redraw_if_due() {
    if (!on() || !taking_) return;
    const InputMeter::Reading& now = meter_.reading();
    if (drawn_ && now.samples - drawn_at_ < redraw_every) return;
    // Read at every drawing, not once: a terminal narrowed mid-take would wrap a line cut for the old width
    // onto the rows below, and each drawing after it would leave another copy there.
    columns_ = stderr_columns();
    if (columns_ < narrowest) {
        // Too narrow now for the prompt to stay on one row: the line makes way until the terminal widens.
        if (!shown_.empty() || !words_shown_.empty()) {
            clear_rows();
            *terminal_ << std::flush;
        }
        shown_.clear();
        words_shown_.clear();
        drawn_ = true;
        drawn_at_ = now.samples;
        meter_.start_new_peak();
        return;
    }
    if (now.clipped) clip_shown_until_ = now.samples + clip_held;
    std::string text =
        status_text(now.samples, now.peak, now.samples < clip_shown_until_, now.silent_samples);
    // A line longer than the row would wrap onto the next one and leave it behind.
    text.resize(std::min<std::size_t>(text.size(), static_cast<std::size_t>(std::max(columns_ - 1, 0))));
    if (!drawn_ || text != shown_) {
        *terminal_ << save_cursor << row_down << '\r' << text << clear_to_end << restore_cursor << std::flush;
        shown_ = text;
    }
    if (words_row_) {
        std::string words = words_that_fit(words_, static_cast<std::size_t>(std::max(columns_ - 1, 0)));
        if (!drawn_ || words != words_shown_) {
            *terminal_ << save_cursor << row_down << row_down << '\r' << words << clear_to_end
                       << restore_cursor << std::flush;
            words_shown_ = std::move(words);
        }
    }
    drawn_ = true;
    drawn_at_ = now.samples;
    meter_.start_new_peak();
}

void StatusLine::make_way() {
    if (!on() || !taking_) return;
    clear_rows();
    *terminal_ << '\n' << std::flush;
}

void StatusLine::resume() {
    if (!on() || !taking_) return;
    make_rows();
    drawn_ = false;  // at once, on the new row
}

void StatusLine::end_take(bool by_enter) {
    if (!on() || !taking_) return;
    taking_ = false;
    if (by_enter && keys_echo_) {
        // The echoed Enter has already put the cursor at the start of the line's row. A drawing that came
        // between the echo and the read of the key went one row lower still: that row is cleared too.
        *terminal_ << '\r' << clear_row;
    }
    clear_rows();
    *terminal_ << std::flush;
}
