#include "app/status_line.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ostream>

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

}  // namespace

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

void StatusLine::begin_take() {
    if (!on()) return;
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
    // A line end makes the row below exist, scrolling if need be; back up to the start of the prompt's row.
    *terminal_ << '\n' << row_up << std::flush;
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
        if (!shown_.empty())
            *terminal_ << save_cursor << row_down << clear_row << restore_cursor << std::flush;
        shown_.clear();
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
    drawn_ = true;
    drawn_at_ = now.samples;
    meter_.start_new_peak();
}

void StatusLine::make_way() {
    if (!on() || !taking_) return;
    *terminal_ << save_cursor << row_down << clear_row << restore_cursor << '\n' << std::flush;
}

void StatusLine::resume() {
    if (!on() || !taking_) return;
    *terminal_ << '\n' << row_up << std::flush;
    drawn_ = false;  // at once, on the new row
}

void StatusLine::end_take(bool by_enter) {
    if (!on() || !taking_) return;
    taking_ = false;
    if (by_enter && keys_echo_) {
        // The echoed Enter has already put the cursor at the start of the line's row. A drawing that came
        // between the echo and the read of the key went one row lower still: that row is cleared too.
        *terminal_ << '\r' << clear_row << save_cursor << row_down << clear_row << restore_cursor
                   << std::flush;
    } else {
        *terminal_ << save_cursor << row_down << clear_row << restore_cursor << std::flush;
    }
}
