#include <unistd.h>

#include <ctime>
#include <iostream>

#include "app/console_messages.h"
#include "app/interrupt_signal.h"
#include "app/recording_cycle.h"
#include "app/transcription_stage.h"

int main() {
    install_interrupt_handlers();
    TranscriptionState transcription_state;
    const CycleSeams seams{STDIN_FILENO,
                           std::cout,
                           [] { return std::time(nullptr); },
                           [&](const std::string& output_path, const std::string& file_stem) {
                               run_transcription_stage(output_path, file_stem, transcription_state,
                                                       std::cout);
                           },
                           tell_user,
                           {interrupt_fd(), interrupt_requested, interrupt_exit_status}};
    return run_recording_cycles(seams);
}
