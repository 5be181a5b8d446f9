#ifndef VTPATCH_MAPPED_FILE_H
#define VTPATCH_MAPPED_FILE_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace vtpatch {

// A read-only, shared memory mapping of a whole input file. The engine reads patches and old
// files in place through it instead of copying them. A file that cannot be opened, measured or
// mapped, and an empty file (a zero-length mapping is refused), give a MappedFile that is not
// valid. The mapping and the descriptor are released on Close() or destruction.
//
// The bytes must not be changed by anyone while mapped (the updater owns its files; a file
// truncated under a mapping would fault on access). Not copyable: it owns the mapping.
class MappedFile {
public:
    MappedFile() = default;
    explicit MappedFile(const std::string &path) { Open(path); }
    ~MappedFile() { Close(); }
    MappedFile(const MappedFile &) = delete;
    MappedFile &operator=(const MappedFile &) = delete;

    // Closes any previous mapping first. Returns valid().
    bool Open(const std::string &path);
    void Close();

    bool valid() const { return view_ != nullptr; }
    const uint8_t *data() const { return view_; }
    size_t length() const { return view_length_; }
    // Size the file system reported when the file was opened.
    uint64_t file_size() const { return file_size_; }

private:
    int descriptor_ = -1;
    uint64_t file_size_ = 0;
    const uint8_t *view_ = nullptr;
    size_t view_length_ = 0;
};

// Writes `length` bytes as the whole content of `path`, replacing any file there. The bytes are
// written under a temporary name in the same directory and renamed into place, so a failure
// (false) leaves an existing file at `path` untouched and no partial file behind. A replaced
// file's permission bits are kept; a new file gets 0666 less the umask, as with fopen.
bool WriteWholeFile(const std::string &path, const uint8_t *data, size_t length);

} // namespace vtpatch

#endif // VTPATCH_MAPPED_FILE_H
