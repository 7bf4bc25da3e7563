#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <random>

#include "base/native_text.h"
#include "cli/undo_file.h"

namespace brc::cli {
namespace {

std::string lastError() { return "Windows error " + std::to_string(GetLastError()); }

} // namespace

// The user's local application data: a profile folder only the user and administrators reach.
std::string undoFolder(std::string& error) {
    const DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", nullptr, 0);
    std::wstring base(n, L'\0');
    if (n == 0 || GetEnvironmentVariableW(L"LOCALAPPDATA", base.data(), n) != n - 1) {
        error = "LOCALAPPDATA names no folder to keep the saved sectors in";
        return {};
    }
    base.resize(n - 1);
    const std::wstring folder = base + L"\\Brindlecard";
    if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        error = "cannot create '" + utf8FromWide(folder) + "': " + lastError();
        return {};
    }
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        error =
            "'" + utf8FromWide(folder) + "' is no place for the saved sectors: it is not a folder";
        return {};
    }
    return utf8FromWide(folder);
}

UndoFile::~UndoFile() { close(); }

void UndoFile::close() {
    if (handle_) CloseHandle(handle_);
    handle_ = nullptr;
}

bool UndoFile::create(const std::string& card, std::string& error) {
    const std::string folder = undoFolder(error);
    if (folder.empty()) return false;
    std::random_device random;
    char tail[40];
    std::snprintf(tail, sizeof tail, "-%08x%08x.undo", random(), random());
    std::string name = card;
    for (char& c : name)
        if (c == '\\' || c == '/' || c == ':' || static_cast<unsigned char>(c) < 0x20) c = '_';
    path_ = folder + "\\probe-" + name + tail;
    // CREATE_NEW: never a file that was there; no share: nobody else reads it meanwhile.
    HANDLE h = CreateFileW(wideFromUtf8(path_).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = "cannot create '" + path_ + "': " + lastError();
        return false;
    }
    handle_ = h;
    size_ = 0;
    return true;
}

bool UndoFile::open(const std::string& path, std::string& error) {
    path_ = path;
    HANDLE h = CreateFileW(wideFromUtf8(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    LARGE_INTEGER size{};
    if (h == INVALID_HANDLE_VALUE || !GetFileSizeEx(h, &size)) {
        error = "cannot read '" + path + "': " + lastError();
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        return false;
    }
    handle_ = h;
    size_ = static_cast<uint64_t>(size.QuadPart);
    return true;
}

void UndoFile::remove() {
    close();
    if (!path_.empty()) DeleteFileW(wideFromUtf8(path_).c_str());
}

bool UndoFile::replace(const std::string& old, std::string& error) {
    close();
    if (!MoveFileExW(wideFromUtf8(path_).c_str(), wideFromUtf8(old).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = "cannot replace '" + old + "': " + lastError();
        return false;
    }
    path_ = old;
    return true;
}

// One whole transfer at `offset`, in parts the calls take; false with `reason`.
static bool transferAt(HANDLE handle, bool write, char* p, size_t length, uint64_t offset,
                       std::string& reason) {
    for (size_t done = 0; done < length;) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset + done);
        at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
        DWORD n = 0;
        const auto part = static_cast<DWORD>(std::min<size_t>(length - done, 1u << 30));
        const BOOL ok = write ? WriteFile(handle, p + done, part, &n, &at)
                              : ReadFile(handle, p + done, part, &n, &at);
        if (!ok || n == 0) {
            reason = ok ? "it ends early" : lastError();
            return false;
        }
        done += n;
    }
    return true;
}

bool UndoFile::writeAt(const void* data, size_t length, uint64_t offset) {
    // WriteFile takes a buffer it does not change.
    if (!transferAt(handle_, true, static_cast<char*>(const_cast<void*>(data)), length, offset,
                    reason_))
        return false;
    size_ = std::max(size_, offset + length);
    return true;
}

bool UndoFile::append(const void* data, size_t length) { return writeAt(data, length, size_); }

bool UndoFile::sync() {
    if (FlushFileBuffers(handle_)) return true;
    reason_ = lastError();
    return false;
}

bool UndoFile::readAt(void* data, size_t length, uint64_t offset) {
    return transferAt(handle_, false, static_cast<char*>(data), length, offset, reason_);
}

} // namespace brc::cli
