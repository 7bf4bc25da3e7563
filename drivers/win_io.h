// The Windows calls the disk path makes, wrapped so that every handle is closed on every path
// and every answer comes back as its bytes for drivers/disk_answers to decode.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace brc::vcard {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE;

// A handle closed on every path.
class Handle {
public:
    explicit Handle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
    ~Handle() { reset(); }
    Handle(Handle&& other) noexcept : h_(other.h_) { other.h_ = INVALID_HANDLE_VALUE; }
    Handle& operator=(Handle&& other) noexcept {
        if (this != &other) {
            reset();
            h_ = other.h_;
            other.h_ = INVALID_HANDLE_VALUE;
        }
        return *this;
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    void reset() {
        if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
        h_ = INVALID_HANDLE_VALUE;
    }
    bool ok() const { return h_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return h_; }

private:
    HANDLE h_;
};

Handle openPath(const std::wstring& name, DWORD access, DWORD flags = 0);

// The answer of a control that takes nothing in (or `in`), as its bytes; nullopt when refused.
std::optional<std::vector<uint8_t>> ask(HANDLE h, DWORD code, DWORD capacity,
                                        const void* in = nullptr, DWORD inLength = 0);

template <class Decode> auto decoded(const std::optional<std::vector<uint8_t>>& answer, Decode decode)
    -> decltype(decode(nullptr, 0)) {
    if (!answer) return std::nullopt;
    return decode(answer->data(), answer->size());
}

// A control that takes and gives nothing.
bool control(HANDLE h, DWORD code);

// ASCII of a system name, '?' for anything else; and the plain widening back.
std::string ascii(const wchar_t* text);
std::wstring widened(const std::string& text);

} // namespace brc::vcard
