#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>

#include "app/input_meter.h"

// The line under the prompt that shows, while a take records, how long it has run and how loud the input is:
//
//     Press the Enter Key to Stop Recording...
//     rec 0:07 [##############......]  -14 dB
//
// It lives on the row below the prompt and leaves the cursor where the dialogue left it, so that keys and
// the dialogue go on as if it were not there; when the take ends the row is cleared, and what stays on the
// screen is the dialogue alone. It is drawn on standard error, and only on a terminal that takes cursor
// sequences (terminal.h); otherwise the program runs without it and writes none of its bytes.
//
// The dialogue must start the prompt at the beginning of a row, as it always does. The terminal's width is
// read at every drawing, so the line never wraps: it is cut to fit, and a terminal narrower than 50 columns
// gets no line (one narrowed that far mid-take has it cleared until it widens again).
//
// A take that may stream has a second row under the first, for the words a server offering live words has
// made of it so far (blank with any other server): the end of the text, as much as fits, cut at the front:
//
//     rec 0:12 [##########..........]  -21 dB
//     and the second phrase has just been finished
//
// Main thread.
class StatusLine {
public:
    // Off: every member does nothing.
    StatusLine() = default;
    // Draws on `terminal`, which must outlive it. `keys_echo`: whether the terminal shows the Enter that ends
    // a take (input_echoes_keys()), which moves the cursor to the row the line is on.
    StatusLine(std::ostream& terminal, bool keys_echo) : terminal_(&terminal), keys_echo_(keys_echo) {}

    bool on() const { return terminal_ != nullptr; }

    // Before the take's prompt is written: makes room for the line below it, and for the row of live words
    // below that when `words_row` (scrolling the screen if the prompt is near the last row), and starts the
    // count.
    void begin_take(bool words_row = false);
    // The take's words so far, as the server sent them: drawn on the words row with the next drawing of the
    // line, their control characters escaped (a tab or a line end is a space). Nothing without a words row.
    void show_words(std::string_view words);
    // The samples of the take, as they are drained from the ring.
    void feed(const float* samples, std::size_t count) {
        if (taking_) meter_.feed(samples, count);
    }
    // Called a few times a second while the take records; draws when a quarter of a second of sound has come
    // in since the last drawing, and at once the first time.
    void redraw_if_due();
    // Around a message written while the take records: make_way() clears the line and starts a new row, so
    // the message begins a row of its own under the prompt; resume(), once the message has ended its row,
    // brings the line back under it, the take's time going on.
    void make_way();
    void resume();
    // Clears the line, once the take has ended; `by_enter`: it ended with a line typed.
    void end_take(bool by_enter);

private:
    void make_rows();
    void clear_rows();

    std::ostream* terminal_ = nullptr;
    bool keys_echo_ = false;
    bool taking_ = false;  // between begin_take() and end_take() on a terminal wide enough for the line
    bool drawn_ = false;
    std::string shown_;  // what the row holds, so that the same text isn't sent again
    bool words_row_ = false;
    std::string words_;        // as they may be shown, uncut
    std::string words_shown_;  // what the words row holds
    int columns_ = 80;
    std::uint64_t drawn_at_ = 0;          // samples fed when last drawn
    std::uint64_t clip_shown_until_ = 0;  // in samples fed: a clip stays marked for a second
    InputMeter meter_;
};

// The text of the line: the elapsed time of `samples` at 48 kHz, a bar and the peak in dB, and a mark when it
// clipped or when the input has been silent for three seconds or more. Plain ASCII, at most 54 columns.
std::string status_text(std::uint64_t samples, float peak, bool clipping, std::uint64_t silent_samples);

// The end of `text` (UTF-8, no control characters) that fits in `columns` columns, cut at the front and then
// at its first space, so that it starts with a whole word when it can. A character of the wide East Asian
// ranges or an emoji takes two columns, any other one; never more than `columns` are taken, which keeps a
// row from wrapping.
std::string words_that_fit(std::string_view text, std::size_t columns);
