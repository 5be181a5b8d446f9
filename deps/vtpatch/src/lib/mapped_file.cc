#include "lib/mapped_file.h"

#include <atomic>
#include <cerrno>
#include <string>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vtpatch {

bool MappedFile::Open(const std::string &path)
{
    Close();
    descriptor_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor_ < 0)
        return false;
    struct stat info;
    if (::fstat(descriptor_, &info) != 0 || info.st_size <= 0 ||
        static_cast<uint64_t>(info.st_size) > SIZE_MAX) {
        Close();
        return false;
    }
    file_size_ = static_cast<uint64_t>(info.st_size);
    const size_t length = static_cast<size_t>(info.st_size);
    void *view = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, descriptor_, 0);
    if (view == MAP_FAILED) {
        Close();
        return false;
    }
    ::madvise(view, length, MADV_NORMAL);
    view_ = static_cast<const uint8_t *>(view);
    view_length_ = length;
    return true;
}

void MappedFile::Close()
{
    if (view_ != nullptr)
        ::munmap(const_cast<uint8_t *>(view_), view_length_);
    if (descriptor_ >= 0)
        ::close(descriptor_);
    view_ = nullptr;
    view_length_ = 0;
    descriptor_ = -1;
    file_size_ = 0;
}

bool WriteWholeFile(const std::string &path, const uint8_t *data, size_t length)
{
    // The bytes go to a fresh file beside the target, which is renamed over it only once every
    // byte is on disk: a failed write (full disk, I/O error) leaves an existing file as it was.
    static std::atomic<unsigned> counter{0};
    const std::string temporary = path + ".vtpatch-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    const int descriptor = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (descriptor < 0)
        return false;
    bool ok = true;
    // A file that is replaced keeps its permission bits (an executable stays executable).
    struct stat previous;
    if (::stat(path.c_str(), &previous) == 0 && S_ISREG(previous.st_mode) &&
        ::fchmod(descriptor, previous.st_mode & 07777) != 0)
        ok = false;
    size_t done = 0;
    while (ok && done < length) {
        const ssize_t written = ::write(descriptor, data + done, length - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            ok = false;
        else
            done += static_cast<size_t>(written);
    }
    if (::close(descriptor) != 0)
        ok = false;
    if (ok && ::rename(temporary.c_str(), path.c_str()) != 0)
        ok = false;
    if (!ok)
        ::unlink(temporary.c_str());
    return ok;
}

} // namespace vtpatch
