#include "platform/windows_error.h"

#include <windows.h>

std::string windows_error_text(unsigned long code) {
    const std::string number = "Windows error " + std::to_string(code);
    wchar_t words[512];
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                  0, words, sizeof words / sizeof words[0], nullptr);
    // The system's text ends with a line break (and sometimes a space); the message goes on after it.
    while (length > 0 &&
           (words[length - 1] == L'\r' || words[length - 1] == L'\n' || words[length - 1] == L' '))
        --length;
    if (length == 0) return number;
    const int bytes =
        WideCharToMultiByte(CP_UTF8, 0, words, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return number;
    std::string text(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, words, static_cast<int>(length), text.data(), bytes, nullptr, nullptr);
    return text + " (" + number + ")";
}
