// Where a probe keeps what it writes over: a file of the user's own, created new (never one
// that was there, never through a link), readable by the user alone, in the user's state folder
// ($XDG_STATE_HOME/brindlecard, else ~/.local/state/brindlecard; %LOCALAPPDATA%\Brindlecard on
// Windows), under a name no one can guess ahead.
#pragma once

#include <cstdint>
#include <string>

#include "device/probe_undo.h"

namespace brc::cli {

class UndoFile : public UndoStore {
public:
    UndoFile() = default;
    ~UndoFile() override;
    UndoFile(const UndoFile&) = delete;
    UndoFile& operator=(const UndoFile&) = delete;

    // A new file for a probe of the card `card` (a part of its name). False with `error`.
    bool create(const std::string& card, std::string& error);
    // A file an earlier probe kept, for reading. False with `error`.
    bool open(const std::string& path, std::string& error);
    // Closes and removes the file.
    void remove();
    // This file, closed, takes the place of `old`: what is left of an older probe's file.
    bool replace(const std::string& old, std::string& error);
    const std::string& path() const { return path_; }

    bool append(const void* data, size_t length) override;
    bool writeAt(const void* data, size_t length, uint64_t offset) override;
    bool sync() override;
    bool readAt(void* data, size_t length, uint64_t offset) override;
    uint64_t size() const override { return size_; }
    std::string reason() const override { return reason_; }

private:
    void close();
#if defined(_WIN32)
    void* handle_ = nullptr;
#else
    int fd_ = -1;
#endif
    std::string path_, reason_;
    uint64_t size_ = 0;
};

// The folder undo files are made in, created (owner only) where missing; empty with `error`
// where there is none fit for it: not the user's own, or open to others' writes.
std::string undoFolder(std::string& error);

} // namespace brc::cli
