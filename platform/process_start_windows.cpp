#include "platform/process_start.h"

#include <io.h>
#include <windows.h>

#include "platform/console_output.h"

void prepare_process() {
    // Kept for the process's children too; there are none.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    show_console_text_exactly();
}

bool console_closes_with_process() {
    DWORD mode = 0;
    if (!GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(0)), &mode)) return false;
    // A shell that started the program shares its console and keeps the window open after it.
    DWORD processes[2];
    return GetConsoleProcessList(processes, 2) == 1;
}
