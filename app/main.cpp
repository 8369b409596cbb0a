#include <ctime>
#include <iostream>
#include <memory>
#include <utility>

#include "app/closing_window.h"
#include "app/console_messages.h"
#include "app/recording_cycle.h"
#include "app/run_settings.h"
#include "app/take_paths.h"
#include "app/text_delivery.h"
#include "app/transcription_stage.h"
#include "audio/microphone_capture.h"
#include "platform/interrupt_signal.h"
#include "platform/process_start.h"
#include "platform/standard_streams.h"
#include "transcription/http_library.h"
#include "transcription/streaming_upload.h"

int main(int argc, char** argv) {
    // Before anything opens a file or a pipe, which would otherwise take a closed stream's number.
    if (const std::string problem = make_standard_streams_valid(); !problem.empty()) tell_user(problem);
    prepare_process();
    auto settled = follow_command_line(argc, argv, std::cout, std::cerr, tell_user);
    if (const int* exit_status = std::get_if<int>(&settled)) return *exit_status;
    RunSettings& settings = std::get<RunSettings>(settled);
    if (const std::string problem = install_interrupt_handlers(); !problem.empty()) tell_user(problem);
    // Before the first take's stream starts a thread; torn down once the last request is over.
    const transcription::HttpLibrary http_library;
    if (!http_library.problem().empty()) tell_user(http_library.problem());
    const TakePaths paths;  // the standard folders and names
    TranscriptionState transcription_state;
    TextDelivery delivery(settings.delivery, tell_user);
    TranscriptionSeams transcription_seams{std::cout, tell_user, interrupt_requested, paths, settings.server};
    if (settings.delivery.copy || settings.delivery.type)
        transcription_seams.deliver = [&delivery](const std::string& text) { delivery.deliver(text); };
    constexpr int standard_input = 0;
    MicrophoneCapture microphone(settings.device ? &*settings.device : nullptr);
    const CycleSeams seams{
        standard_input,
        std::cout,
        [] { return std::time(nullptr); },
        [&](const std::string& output_path, const std::string& file_stem, bool interrupted_first,
            std::unique_ptr<transcription::StreamingUpload> streamed) {
            run_transcription_stage(output_path, file_stem, transcription_state, transcription_seams,
                                    interrupted_first, std::move(streamed));
        },
        tell_user,
        {interrupt_waitable(), interrupt_requested, interrupt_exit_status},
        microphone,
        &settings.status,
        paths,
        [&settings](const std::string& file_name) {
            // Live words are only asked for where the status line can show them.
            return std::make_unique<transcription::StreamingUpload>(settings.server, file_name,
                                                                    settings.status.on());
        },
        settings.pause_ends_after};
    return keep_window_for_reading(run_recording_cycles(seams));
}
