// Whole-file reads and writes on Windows (file_io.cpp is the POSIX version;
// CMakeLists.txt builds one of the two). The same promises: a regular file
// is replaced atomically, through a temporary file in the target's directory
// that is flushed and then moved over the target. Paths are UTF-8, as
// everywhere in the engine.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "persist/file_io.hpp"

namespace arbolet::persist {

namespace {

EngineError os_error(DWORD code) {
    char* text = nullptr;
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = n > 0 && text != nullptr ? std::string(text, n) : "unknown error";
    if (text != nullptr) LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
        message.pop_back();
    return EngineError::io(message + " (os error " + std::to_string(code) + ")");
}

EngineError nul_in_path() { return EngineError::io("file name contained an unexpected NUL byte"); }

bool wide_path(const std::string& path, std::wstring& out) {
    if (path.find('\0') != std::string::npos) return false;
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()),
                                      nullptr, 0);
    if (n <= 0 && !path.empty()) return false;
    out.assign(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()), out.data(), n);
    return true;
}

DWORD write_all(HANDLE file, std::string_view contents) {
    while (!contents.empty()) {
        const DWORD chunk = contents.size() > 0x40000000u ? 0x40000000u : static_cast<DWORD>(contents.size());
        DWORD written = 0;
        if (!WriteFile(file, contents.data(), chunk, &written, nullptr)) return GetLastError();
        contents.remove_prefix(written);
    }
    return 0;
}

std::wstring temporary_beside(const std::wstring& target) {
    static std::atomic<std::uint64_t> counter{0};
    const std::uint64_t tag = (static_cast<std::uint64_t>(GetCurrentProcessId()) << 32) ^ GetTickCount64() ^
                              (counter.fetch_add(1) << 48);
    return target + L".arbolet-tmp." + std::to_wstring(tag);
}

}  // namespace

Status write_file(const std::string& path, std::string_view contents, const InterruptCheck&) {
    std::wstring target;
    if (!wide_path(path, target)) return nul_in_path();
    const DWORD attributes = GetFileAttributesW(target.c_str());
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (exists && (attributes & FILE_ATTRIBUTE_READONLY)) return os_error(ERROR_ACCESS_DENIED);
    if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return os_error(ERROR_ACCESS_DENIED);
    const std::wstring temp = temporary_beside(target);
    HANDLE file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return os_error(GetLastError());
    DWORD err = write_all(file, contents);
    if (err == 0 && !FlushFileBuffers(file)) err = GetLastError();
    if (!CloseHandle(file) && err == 0) err = GetLastError();
    if (err == 0 && !MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        err = GetLastError();
    if (err != 0) {
        DeleteFileW(temp.c_str());
        return os_error(err);
    }
    return {};
}

Result<std::string> read_file(const std::string& path, const InterruptCheck&) {
    std::wstring name;
    if (!wide_path(path, name)) return nul_in_path();
    HANDLE file = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return os_error(GetLastError());
    std::string data;
    LARGE_INTEGER size;
    if (GetFileSizeEx(file, &size) && size.QuadPart > 0) data.reserve(static_cast<std::size_t>(size.QuadPart));
    char buf[65536];
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(file, buf, sizeof buf, &n, nullptr)) {
            const DWORD err = GetLastError();
            CloseHandle(file);
            return os_error(err);
        }
        if (n == 0) break;
        data.append(buf, n);
    }
    CloseHandle(file);
    return data;
}

}  // namespace arbolet::persist
