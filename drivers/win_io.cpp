#include "drivers/win_io.h"

namespace brc::vcard {

Handle openPath(const std::wstring& name, DWORD access, DWORD flags) {
    return Handle(CreateFileW(name.c_str(), access, kShareAll, nullptr, OPEN_EXISTING, flags, nullptr));
}

std::optional<std::vector<uint8_t>> ask(HANDLE h, DWORD code, DWORD capacity,
                                        const void* in, DWORD inLength) {
    // Whole 64-bit words keep the structures' 64-bit fields aligned.
    std::vector<uint64_t> words((capacity + 7) / 8);
    DWORD returned = 0;
    if (!DeviceIoControl(h, code, const_cast<void*>(in), inLength, words.data(), capacity,
                         &returned, nullptr))
        return std::nullopt;
    const auto* bytes = reinterpret_cast<const uint8_t*>(words.data());
    return std::vector<uint8_t>(bytes, bytes + returned);
}

bool control(HANDLE h, DWORD code) {
    DWORD returned = 0;
    return DeviceIoControl(h, code, nullptr, 0, nullptr, 0, &returned, nullptr) != 0;
}

std::string ascii(const wchar_t* text) {
    std::string out;
    for (; *text; ++text) out += *text < 0x80 ? static_cast<char>(*text) : '?';
    return out;
}

std::wstring widened(const std::string& text) { return std::wstring(text.begin(), text.end()); }

} // namespace brc::vcard
