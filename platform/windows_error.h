#pragma once

#include <string>

// Windows only. The system's own words for a Windows error code (from GetLastError(), a Winsock call or an
// HRESULT), in the person's language, followed by the code, as one line: "The device is not ready. (Windows
// error 21)". Just "Windows error N" when the system has no words for it. Any thread; never throws except
// std::bad_alloc.
std::string windows_error_text(unsigned long code);
