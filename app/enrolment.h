#pragma once

#include <iosfwd>
#include <string>
#include <string_view>

#include "app/console_messages.h"
#include "app/recording_cycle.h"

class SoundSource;

// Where enrolment keeps its takes unless told otherwise: beside the program's other takes.
inline constexpr const char* default_enrolment_folder = "C:/Whisper/enrolment/";

struct EnrolmentSeams {
    std::string folder;  // created if missing; ends with '/'
    int input_fd;        // keys from the person (standard input)
    std::ostream& out;   // the dialogue (standard output)
    SoundSource& sound;  // the microphone, one sentence's take at a time
    std::function<void(std::string_view)> tell = tell_user;
    InterruptSource interrupt{};
};

// Shows the enrolment sentences one at a time, each with its place in the list, and records the person
// reading it: recording starts as the sentence appears and Enter ends it. Each take is written as
// "prompt-NN.wav" (48 kHz 16-bit mono, as every take) and then "prompt-NN.txt" with the sentence, so a
// pair is whole once its text exists; sentences whose text is there already are skipped, so a run that was
// stopped goes on where it left off. The text is written as a transcript is (transcript_file.h): never
// through a link or over anything, never left in part; a take found without its text is recorded again.
// Ctrl-C, SIGTERM or the end of input stops at once, dropping the take under way; how many sentences are read
// is counted from the folder, at the start and where it stops. A time the process did not run (stopped, the
// machine asleep) is told and the sentence goes on; a device lost mid-sentence drops that sentence. Returns
// the exit status: 0 when every sentence is read or input ended, 128 + signal when interrupted (also when
// input ended as well), 1 when the folder can't be made or written or the audio library fails. Main thread.
int run_enrolment(const EnrolmentSeams& seams);
