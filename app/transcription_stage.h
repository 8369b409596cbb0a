#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>

#include "app/console_messages.h"
#include "app/take_paths.h"
#include "transcription/streaming_upload.h"
#include "transcription/transcription_exchange.h"

// State the transcription stage keeps for the whole run, so that no cycle has to build it afresh.
struct TranscriptionState {
    std::string transcription;
};

// What the stage talks to at the edges of the operating system. main() passes standard output, tell_user,
// the signal handlers' interrupt_requested and the standard folders; tests pass a string stream, a list of
// messages, a flag, a folder of their own and the address of a loopback server.
struct TranscriptionSeams {
    std::ostream& out;                                                 // the text (standard output)
    std::function<void(std::string_view)> tell = tell_user;            // the "dictate: " messages
    std::function<bool()> interrupt_requested = [] { return false; };  // Ctrl-C, SIGTERM or SIGHUP came
    TakePaths paths{};                                                 // the transcript folder
    transcription::Endpoint endpoint{};                                // where takes go, and how
    std::function<void(std::string_view)> trace = show_trace_line;     // the HTTP library's trace, raw
    // --copy and --type: the text, once shown and saved; null for neither.
    std::function<void(const std::string&)> deliver = nullptr;
};

// Sends the take at `output_path` to the transcription server, shows its text on `out` (flushed, control
// characters but tab and line ends escaped as \xHH) and saves it with one line end as
// "<stem>_transcription.txt" in the transcript folder, never replacing or following anything of that name
// (see transcript_file.h, which also says how line ends are written). When no usable text comes
// back (no server, a dropped connection, a status other than 2xx whatever its body, a reply over 64 MiB,
// an unusable body), nothing is shown or saved and one line through `tell` says why, in the server's
// own words where it gave some, and where the recording is kept; a transcript that cannot be saved is
// reported the same way. After 30 s without a new byte of the reply, or with a reply still trickling in,
// one line says it is still waiting; the HTTP library's trace goes to `trace`. An interrupt stops the
// transfer within about a second, unless `interrupted_first` says one came while the take was still
// recording: that one asked for the take to be transcribed. Never throws for anything the server sends.
// `streamed`, when not null, is the take's request streamed while it recorded, and the stage owns it. Its
// reply is used when the take kept the name it was sent under and the server answered after the whole
// take had gone; otherwise it is ended (finished, or abandoned so that the server sees it break off and
// the connection close) before the file is uploaded as above, so no server holds two requests for one
// take. A reply that came before the take ended is named in one line through `tell`. Main thread.
// A text shown and saved is then handed to `deliver`, so that neither the clipboard nor typing can hold
// it back from the screen or the file.
void run_transcription_stage(const std::string& output_path, const std::string& stem,
                             TranscriptionState& state, const TranscriptionSeams& seams,
                             bool interrupted_first,
                             std::unique_ptr<transcription::StreamingUpload> streamed = nullptr);
