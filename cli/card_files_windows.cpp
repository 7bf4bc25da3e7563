#include "cli/card_files.h"

#include <windows.h>

#include "base/native_text.h"
#include "device/card_map.h"

namespace brc::cli {

namespace {

std::string lastErrorText() { return "error " + std::to_string(GetLastError()); }

} // namespace

bool CardFile::open(const std::string& path, bool replace, std::string& error) {
    path_ = path;
    // The device namespace (\\.\PhysicalDrive0, \\?\E:) names disks, not files.
    if (isDeviceNamespacePath(path)) {
        error = refusal(path, "a device");
        return false;
    }
    if (std::string problem = windowsNameProblem(path); !problem.empty()) {
        error = problem;
        return false;
    }
    const std::wstring name = wideFromUtf8(path);
    const DWORD attributes = GetFileAttributesW(name.c_str());
    const DWORD code = GetLastError();
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (!exists && code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) {
        error = "cannot create '" + path + "' (error " + std::to_string(code) + ")";
        return false;
    }
    if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        error = refusal(path, "a directory");
        return false;
    }
    if (exists && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        error = refusal(path, "a symbolic link");
        return false;
    }
    if (exists && !replace) {
        error = alreadyExists(path);
        return false;
    }
    // The reparse-point flag opens a link that appeared since as itself, never its target.
    HANDLE h =
        CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, exists ? OPEN_EXISTING : CREATE_NEW,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = "cannot create '" + path + "' (" + lastErrorText() + ")";
        return false;
    }
    handle_ = h;
    created_ = !exists;
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
        error = refusal(path, "not a regular file");
        created_ = false;
        close();
        return false;
    }
    return true;
}

bool CardFile::resize(uint64_t bytes) {
    for (uint64_t size : {uint64_t{0}, bytes}) {
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(size);
        if (!SetFilePointerEx(handle_, at, nullptr, FILE_BEGIN) || !SetEndOfFile(handle_)) {
            reason_ = lastErrorText();
            return false;
        }
    }
    return true;
}

bool CardFile::write(const std::string& text) {
    if (!resize(0)) return false;
    DWORD done = 0;
    if (!WriteFile(handle_, text.data(), static_cast<DWORD>(text.size()), &done, nullptr) ||
        done != text.size()) {
        reason_ = lastErrorText();
        return false;
    }
    return true;
}

bool CardFile::close() {
    if (!handle_) return true;
    const bool ok = CloseHandle(handle_) != 0;
    handle_ = nullptr;
    if (!ok) reason_ = lastErrorText();
    return ok;
}

void CardFile::discard() {
    close();
    if (created_) DeleteFileW(wideFromUtf8(path_).c_str());
    created_ = false;
}

} // namespace brc::cli
