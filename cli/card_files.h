// The files `card create` writes: the image and its sidecar.
#pragma once

#include <cstdint>
#include <string>

namespace brc::cli {

// Why Windows would create no file of the name `path` ends in, or empty: a name ending in a dot
// or a blank (the system drops them, so the image would not be where its sidecar says), or a
// reserved device name such as NUL or COM1, with or without an extension. On Windows card
// create and the targets of the other commands refuse such a name.
std::string windowsNameProblem(const std::string& path);

// One file created, or with `replace` an existing regular file rewritten. Nothing but a regular
// file is ever opened for writing: a symbolic link at the path is not followed, and a device
// node, FIFO, socket or directory there is refused before it is opened. Closed on destruction.
class CardFile {
public:
    CardFile() = default;
    ~CardFile();
    CardFile(const CardFile&) = delete;
    CardFile& operator=(const CardFile&) = delete;

    // Opens `path` (UTF-8) for writing; false with one sentence for the user in `error`.
    bool open(const std::string& path, bool replace, std::string& error);
    // Empties the file, then makes it `bytes` long without writing, so the image stays sparse.
    bool resize(uint64_t bytes);
    // Writes `text` at the start of the (emptied) file.
    bool write(const std::string& text);
    bool close();
    // Closes, and removes the file when this run created it and the path still names it: a
    // failed run leaves nothing of its own behind and removes nothing it found.
    void discard();
    // The system's reason for the last failure, for the message.
    const std::string& reason() const { return reason_; }

private:
    // The sentences both systems' open() refuse with.
    static std::string refusal(const std::string& path, const char* what);
    static std::string alreadyExists(const std::string& path);

    std::string path_;
    std::string reason_;
    bool created_ = false;
#if defined(_WIN32)
    void* handle_ = nullptr;
#else
    int fd_ = -1;
    uint64_t device_ = 0, inode_ = 0;
#endif
};

} // namespace brc::cli
