#include "platform/configuration_file.h"

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

std::string utf8_of(const std::wstring& wide) {
    if (wide.empty()) return {};
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                          nullptr, nullptr);
    std::string text(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), bytes, nullptr,
                        nullptr);
    return text;
}

std::wstring wide_of(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int units = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(units > 0 ? units : 0), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), units);
    return wide;
}

}  // namespace

std::string configuration_file_path() {
    // The wide variable: a user name outside the ANSI code page would not survive the narrow one.
    const wchar_t* app_data = _wgetenv(L"APPDATA");
    if (app_data == nullptr || app_data[0] == L'\0') return {};
    return utf8_of(app_data) + "\\dictate\\config";
}

ConfigurationFile read_configuration_file(const std::string& path) {
    ConfigurationFile file;
    std::FILE* stream = _wfopen(wide_of(path).c_str(), L"rb");
    if (stream == nullptr) {
        if (errno != ENOENT) file.problem = std::string("open: ") + std::strerror(errno);
        return file;
    }
    file.found = true;
    char block[4096];
    std::size_t got = 0;
    while ((got = std::fread(block, 1, sizeof block, stream)) > 0) {
        file.bytes.append(block, got);
        if (file.bytes.size() > static_cast<std::size_t>(max_configuration_bytes)) {
            file.problem = "it is larger than a configuration file can be";
            break;
        }
    }
    if (file.problem.empty() && std::ferror(stream))
        file.problem = std::string("read: ") + std::strerror(errno);
    std::fclose(stream);
    return file;
}
