#pragma once

#include <windows.h>

// Windows only. Reads what the person types at the console `input` as UTF-8, up to `size` bytes (at least 8)
// into `into`, in place of ReadFile() on a console handle, whose code page conversion garbles text and whose
// zero-byte result means both Ctrl-Z and Ctrl-C. Returns as ReadFile() does, with the two told apart:
//   TRUE, *got > 0     the bytes typed (a line with its CR LF in the console's usual line mode);
//   TRUE, *got == 0    end of input: the read began with Ctrl-Z (Ctrl-Z then Enter), or ended empty with
//                      no interrupt (interrupt_waitable()) reported within a second;
//   FALSE              GetLastError() says why; ERROR_OPERATION_ABORTED when Ctrl-C or Ctrl-Break cut the
//                      read short (the read ended empty and the interrupt was reported), which is an
//                      interrupt for the console handler to report, never the end.
// One reading thread per process.
BOOL read_console_text(HANDLE input, char* into, DWORD size, DWORD* got);
