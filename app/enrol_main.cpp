// dictate-enrol [FOLDER]: reads the enrolment sentences with the person, one take each, for
// `dictate-server --adapt FOLDER` to learn their voice from.

#include <iostream>
#include <string>

#include "app/console_messages.h"
#include "app/enrolment.h"
#include "audio/microphone_capture.h"
#include "platform/interrupt_signal.h"
#include "platform/standard_streams.h"

int main(int argc, char** argv) {
    // Before anything opens a file or a pipe: a closed standard input would otherwise become the audio
    // library's own pipe, and the wait for Enter would read from it forever.
    if (const std::string problem = make_standard_streams_valid(); !problem.empty()) tell_user(problem);
    if (argc == 2 && std::string(argv[1]) == "--help") {
        std::cout << "usage: dictate-enrol [FOLDER]\nRecords you reading the enrolment sentences into FOLDER "
                     "(default "
                  << default_enrolment_folder << "), for dictate-server --adapt FOLDER.\n";
        return 0;
    }
    if (argc > 2 || (argc == 2 && std::string(argv[1]).empty())) {
        tell_user("usage: dictate-enrol [FOLDER]: one folder, not empty (see --help)");
        return 2;
    }
    if (const std::string problem = install_interrupt_handlers(); !problem.empty()) tell_user(problem);
    std::string folder = argc == 2 ? argv[1] : default_enrolment_folder;
    if (folder.back() != '/') folder.push_back('/');
    constexpr int standard_input = 0;
    MicrophoneCapture microphone;  // the default input device
    return run_enrolment({folder,
                          standard_input,
                          std::cout,
                          microphone,
                          tell_user,
                          {interrupt_waitable(), interrupt_requested, interrupt_exit_status}});
}
