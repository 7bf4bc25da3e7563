// The image file on Windows: a file on a disk, shared so that a second format is refused.
#include "drivers/image_file.h"

#include <windows.h>
#include <winioctl.h>

#include "base/native_text.h"
#include "device/sdhost_abi.h"
#include "drivers/volsvc/image_cards.h"
#include "drivers/windows/service_client.h"

namespace brc::sdhost {
namespace {

class ImageFile final : public BackingFile {
public:
    // `servedDrive`: the drive whose card the volume service handed this handle for, given back
    // when the card closes (`handings` times: as often as it was asked); none for an image
    // opened here.
    explicit ImageFile(HANDLE handle, unsigned servedDrive = kNotServed, unsigned handings = 0)
        : handle_(handle), servedDrive_(servedDrive), handings_(handings) {}
    ~ImageFile() override {
        CloseHandle(handle_);
        if (servedDrive_ != kNotServed) releaseServiceDisk(servedDrive_, handings_);
    }
    static constexpr unsigned kNotServed = ~0u;
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;

    bool read(void* buffer, size_t length, uint64_t offset) override {
        return transfer(static_cast<char*>(buffer), length, offset, false);
    }
    bool write(const void* buffer, size_t length, uint64_t offset) override {
        return transfer(const_cast<char*>(static_cast<const char*>(buffer)), length, offset, true);
    }
    bool zero(uint64_t offset, uint64_t length) override {
        return punch(offset, length) || writeZeros(*this, offset, length);
    }
    // Deallocates in a sparse file and writes zeros in any other; Wine lacks the control.
    bool punch(uint64_t offset, uint64_t length) override {
        FILE_ZERO_DATA_INFORMATION range;
        range.FileOffset.QuadPart = static_cast<LONGLONG>(offset);
        range.BeyondFinalZero.QuadPart = static_cast<LONGLONG>(offset + length);
        DWORD returned = 0;
        return DeviceIoControl(handle_, FSCTL_SET_ZERO_DATA, &range, sizeof range, nullptr, 0,
                               &returned, nullptr) != 0;
    }

private:
    bool transfer(char* p, size_t length, uint64_t offset, bool writing) {
        while (length > 0) {
            OVERLAPPED at{};
            at.Offset = static_cast<DWORD>(offset);
            at.OffsetHigh = static_cast<DWORD>(offset >> 32);
            DWORD want = length > (DWORD{1} << 30) ? (DWORD{1} << 30) : static_cast<DWORD>(length);
            DWORD done = 0;
            BOOL ok = writing ? WriteFile(handle_, p, want, &done, &at)
                              : ReadFile(handle_, p, want, &done, &at);
            if (!ok || done == 0) return false;
            p += done;
            length -= done;
            offset += done;
        }
        return true;
    }

    HANDLE handle_;
    unsigned servedDrive_;
    unsigned handings_;
};

bool runsAsAdministrator() {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0,
                                  0, 0, 0, 0, 0, &administrators))
        return false;
    BOOL member = FALSE;
    // Counts the group only where it is enabled: not under UAC before elevation.
    if (!CheckTokenMembership(nullptr, administrators, &member)) member = FALSE;
    FreeSid(administrators);
    return member != FALSE;
}

// Whether `a` and `b` are one file, by volume and file index.
bool sameFile(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION x, y;
    return GetFileInformationByHandle(a, &x) && GetFileInformationByHandle(b, &y) &&
           x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
           x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}

} // namespace

uint32_t openServedImage(unsigned index, const std::string& path, const Host& host,
                         std::unique_ptr<VirtualCard>& card, std::string& error) {
    if (runsAsAdministrator()) return SDHOST_OK;
    uint32_t code = 0;
    std::string why;
    // Asked to read first: a letter the service judges as a disk of the system's is then left
    // to the disk path (its own checks, its volumes untouched here), never written as an image.
    // Only this opening's handings are given back: another card of the module may hold the
    // same drive.
    windisk::DiskIdentity disk;
    Handle handed = diskFromService(index, false, std::nullopt, code, why, &disk);
    unsigned handings = handed.ok() ? 1 : 0;
    if (handed.ok() && !volsvc::isImageDisk(disk.number)) {
        handed.reset();
        releaseServiceDisk(index, handings);
        return SDHOST_OK;
    }
    // Then to write: the same hold, the image opened again for writing.
    if (handed.ok()) {
        handed = diskFromService(index, true, std::nullopt, code, why, &disk);
        handings += handed.ok() ? 1 : 0;
    }
    if (!handed.ok()) {
        releaseServiceDisk(index, handings);
        // No service, or a letter it serves no image for (its answer for the letter as a disk):
        // the image is the user's own to open.
        if (code == 0 || code == SDHOST_ERR_CONFIG || code == SDHOST_ERR_NO_CARD) return SDHOST_OK;
        error = cat(path, ": ", why);
        return code;
    }
    // Where this process can see the image itself, the service's must be that very file: a
    // letter the administrator maps elsewhere is not the card the user named.
    const HANDLE own =
        CreateFileW(wideFromUtf8(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    const bool other = own != INVALID_HANDLE_VALUE && !sameFile(own, handed.get());
    if (own != INVALID_HANDLE_VALUE) CloseHandle(own);
    LARGE_INTEGER bytes;
    if (other || !GetFileSizeEx(handed.get(), &bytes)) {
        handed.reset();
        releaseServiceDisk(index, handings);
        error = cat(path, other ? ": the volume service serves another image for this drive"
                                : ": the volume service's image cannot be read");
        return SDHOST_ERR_CONFIG;
    }
    auto file = std::make_unique<ImageFile>(handed.release(), index, handings);
    return cardOfImage(path, std::move(file), static_cast<uint64_t>(bytes.QuadPart), false, host,
                       card, error);
}

// A format's handle lets others read but not write, so a second format (another process, another
// session) is refused while it lasts.
uint32_t openImage(const std::string& path, OpenFor use, std::unique_ptr<BackingFile>& file,
                   uint64_t& size, bool& readOnly, std::string& error, const CardIdentity*) {
    const std::wstring name = wideFromUtf8(path);
    const DWORD shared = FILE_SHARE_READ | FILE_SHARE_WRITE;
    HANDLE h = INVALID_HANDLE_VALUE;
    readOnly = true;
    if (use != OpenFor::Probe) {
        h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                        use == OpenFor::Format ? FILE_SHARE_READ : shared, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
        const bool heldByWriter =
            h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION;
        if (heldByWriter && use == OpenFor::Format) {
            error = cat(path, ": in use: another program holds it open");
            return SDHOST_ERR_BUSY;
        }
        // The flags asked while a format holds the image: that format could open it to write.
        readOnly = h == INVALID_HANDLE_VALUE && !heldByWriter;
    }
    if (h == INVALID_HANDLE_VALUE)
        h = CreateFileW(name.c_str(), GENERIC_READ, shared, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return SDHOST_ERR_NO_CARD;
    file = std::make_unique<ImageFile>(h);
    LARGE_INTEGER bytes;
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileSizeEx(h, &bytes)) {
        error = cat(path, ": not a regular file");
        return SDHOST_ERR_CONFIG;
    }
    size = static_cast<uint64_t>(bytes.QuadPart);
    return SDHOST_OK;
}

// Only a file on a disk is read.
bool readSidecarText(const std::string& path, bool& missing, std::string& text,
                     std::string& error) {
    missing = false;
    HANDLE h =
        CreateFileW(wideFromUtf8(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        missing = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
        if (!missing) error = cat(path, ": cannot read");
        return missing;
    }
    bool ok = GetFileType(h) == FILE_TYPE_DISK;
    if (!ok) error = cat(path, ": cannot read: not a regular file");
    char buffer[kMaxSidecarBytes + 1];
    DWORD got = 0;
    while (ok && got < sizeof buffer) {
        DWORD n = 0;
        ok = ReadFile(h, buffer + got, static_cast<DWORD>(sizeof buffer - got), &n, nullptr) != 0;
        if (!ok) error = cat(path, ": cannot read");
        if (n == 0) break;
        got += n;
    }
    CloseHandle(h);
    if (ok) text.assign(buffer, got);
    return ok;
}

} // namespace brc::sdhost
