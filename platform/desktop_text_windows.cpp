#include "platform/desktop_text.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/text_file_bytes.h"
#include "platform/windows_error.h"

namespace {

using Clock = std::chrono::steady_clock;

DesktopResult failed(const std::string& call, unsigned long code) {
    return {DesktopResult::Outcome::failed, call + " failed: " + windows_error_text(code)};
}

// UTF-8 to the UTF-16 Windows takes; a byte that is no UTF-8 becomes U+FFFD.
std::wstring wide(const std::string& text) {
    if (text.empty()) return {};
    const int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring converted(static_cast<std::size_t>(units > 0 ? units : 0), L'\0');
    if (units > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), converted.data(), units);
    return converted;
}

}  // namespace

DesktopResult put_on_clipboard(const std::string& text, std::chrono::milliseconds limit) {
    // Windows programs expect CR LF between the lines of pasted text, as the transcript file has them.
    const std::wstring units = wide(with_crlf_line_ends(text));
    // Another program may hold the clipboard for a moment; it is asked again until the limit.
    const Clock::time_point deadline = Clock::now() + limit;
    while (!OpenClipboard(nullptr)) {
        if (Clock::now() >= deadline) return failed("OpenClipboard", GetLastError());
        Sleep(10);
    }
    DesktopResult result;
    if (!EmptyClipboard()) {
        result = failed("EmptyClipboard", GetLastError());
    } else if (HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, (units.size() + 1) * sizeof(wchar_t));
               memory == nullptr) {
        result = failed("GlobalAlloc", GetLastError());
    } else {
        auto* place = static_cast<wchar_t*>(GlobalLock(memory));
        std::memcpy(place, units.c_str(), (units.size() + 1) * sizeof(wchar_t));
        GlobalUnlock(memory);
        // Once set, the memory is the system's; only a refused one is still ours to free.
        if (SetClipboardData(CF_UNICODETEXT, memory) == nullptr) {
            result = failed("SetClipboardData", GetLastError());
            GlobalFree(memory);
        }
    }
    CloseClipboard();
    return result;
}

DesktopResult type_into_focus(const std::string& keys, std::chrono::milliseconds limit) {
    std::vector<INPUT> events;
    for (const wchar_t unit : wide(keys)) {
        INPUT down{};
        down.type = INPUT_KEYBOARD;
        if (unit == L'\n') {
            down.ki.wVk = VK_RETURN;
        } else {
            down.ki.wScan = static_cast<WORD>(unit);
            down.ki.dwFlags = KEYEVENTF_UNICODE;
        }
        INPUT up = down;
        up.ki.dwFlags |= KEYEVENTF_KEYUP;
        events.push_back(down);
        events.push_back(up);
    }
    // In batches, so that a window that stops taking input is given up on at the limit.
    const Clock::time_point deadline = Clock::now() + limit;
    constexpr std::size_t batch = 64;
    for (std::size_t start = 0; start < events.size(); start += batch) {
        if (Clock::now() >= deadline)
            return {DesktopResult::Outcome::failed,
                    "typing took longer than the time allowed, and was stopped"};
        const UINT count = static_cast<UINT>((std::min)(batch, events.size() - start));
        if (SendInput(count, events.data() + start, sizeof(INPUT)) != count) {
            const DWORD code = GetLastError();
            // A window of a program run as administrator takes no keys from this one, and says nothing.
            if (code == 0)
                return {DesktopResult::Outcome::failed,
                        "SendInput failed: the window with the focus does not take keys from dictate (is it "
                        "run as administrator?)"};
            return failed("SendInput", code);
        }
    }
    return {};
}
