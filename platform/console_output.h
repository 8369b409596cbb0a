#pragma once

// Makes std::cout and std::cerr show text exactly as written where they are a console. The program's text is
// UTF-8; a Windows console shows bytes in its own code page, so there the streams hand their text to the
// console as UTF-16 (line ends as CR LF, as before); wherever descriptor 1 or 2 is a pipe or file, even only
// for a while (QuietStderr), the raw bytes go on as before. Nothing on POSIX, where a terminal takes UTF-8 as
// it is.
//
// Main thread, once, before anything is written and before another thread exists. The streams keep their
// new buffers until the process ends; a write that fails sets the stream's badbit.
void show_console_text_exactly();
