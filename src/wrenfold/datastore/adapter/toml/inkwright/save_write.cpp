// Writing and committing a save: the reservation and lock of the in-place path, the flushes
// that make a save durable, the rename, and what a failure undoes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "save.hpp"

namespace wrenfold::inkwright {

namespace {

// fsync errors that mean the file cannot be flushed (a FIFO, a device, a file system that
// does not), not that flushing failed.
bool cannot_flush(int err) {
    return err == EINVAL || err == ENOTSUP;
}

constexpr size_t kCopyBlock = size_t{1} << 20;

}  // namespace

// Two saves in place to one file would interleave their bytes: each holds a lock on the
// open file (an open-file-description lock, which POSIX record locks of readers respect).
int Save::lock_in_place() {
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (blocking_call([&] { return ::fcntl(fd_, F_OFD_SETLKW, &lock); }) == 0) {
        return 0;
    }
    if (PyErr_Occurred()) {
        return -1;
    }
    // The file system has no locks: write unlocked.
    if (errno == ENOLCK || errno == EINVAL || errno == EOPNOTSUPP || errno == ENOSYS) {
        return 0;
    }
    return os_error(errno);
}

int Save::reserve(size_t size) {
    if (mode_ != Mode::kInPlace) {
        return 0;
    }
    if (lock_in_place() < 0) {
        return -1;
    }
    struct stat st;
    if (::fstat(fd_, &st) < 0) {
        return os_error(errno);
    }
    old_size_ = st.st_size;
    if (size > static_cast<size_t>(std::numeric_limits<off_t>::max())) {
        return os_error(EFBIG);
    }
    // A full disk, a quota or a file size limit shows here, while the content is still old.
    const int status = blocking_call([&] {
        errno = ::posix_fallocate(fd_, 0, static_cast<off_t>(size));
        return errno == 0 ? 0 : -1;
    });
    if (status == 0 ||
        (!PyErr_Occurred() && (errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL))) {
        return 0;  // reserved, or the file system cannot reserve
    }
    const int err = errno;
    cut_back();
    return PyErr_Occurred() ? -1 : os_error(err);
}

// Gives back what a reservation added while the target still holds its old content.
void Save::cut_back() noexcept {
    struct stat st;
    if (old_size_ >= 0 && !touched_ && ::fstat(fd_, &st) == 0 && st.st_size > old_size_) {
        while (::ftruncate(fd_, old_size_) < 0 && errno == EINTR) {
        }
    }
}

int Save::write(const char* data, size_t size, Lock lock) {
    const bool hold = lock == Lock::kHold;
    while (size > 0) {
        // Once the target's content has begun to change, stopping would leave it half
        // written: signal handlers wait until the save is over.
        const OnSignal on_signal = touched_ || hold ? OnSignal::kRetry : OnSignal::kRunHandlers;
        const ssize_t n = blocking_call([&] { return ::write(fd_, data, size); }, on_signal, lock);
        if (n <= 0) {
            return PyErr_Occurred() ? -1 : os_error(n == 0 ? EIO : errno);
        }
        touched_ = touched_ || mode_ == Mode::kInPlace;
        data += n;
        size -= static_cast<size_t>(n);
        written_ += static_cast<size_t>(n);
        // A signal that cuts a write short makes it return what it wrote, not EINTR.
        if (size > 0 && !touched_ && !hold && PyErr_CheckSignals() < 0) {
            return -1;
        }
    }
    return 0;
}

int Save::flush(int fd) {
    const OnSignal on_signal = touched_ ? OnSignal::kRetry : OnSignal::kRunHandlers;
    if (blocking_call([&] { return ::fsync(fd); }, on_signal) == 0) {
        return 0;
    }
    if (PyErr_Occurred()) {
        return -1;
    }
    return cannot_flush(errno) ? 0 : os_error(errno);
}

// The target written in place or as a stream: cut to length, flushed, closed (which lets go
// of the lock).
int Save::commit_target() {
    if (mode_ == Mode::kInPlace && old_size_ > static_cast<off_t>(written_) &&
        blocking_call([&] { return ::ftruncate(fd_, static_cast<off_t>(written_)); },
                      OnSignal::kRetry) < 0) {
        return os_error(errno);
    }
    if (flush(fd_) < 0) {
        return -1;
    }
    const int fd = fd_;
    fd_ = -1;
    return blocking_close(fd) < 0 ? os_error(errno) : 0;
}

// The rename is durable once the folder that holds the name is flushed (else a power cut
// can bring back the old file, or an empty one). A folder we may not read cannot be.
int Save::flush_folder() {
    char folder[PATH_MAX];
    const size_t length = folder_length(target_);
    std::memcpy(folder, length > 0 ? target_ : ".", length > 0 ? length : 1);
    folder[length > 0 ? length : 1] = '\0';
    const int fd = blocking_call([&] { return ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC); },
                                 OnSignal::kRetry);
    if (fd < 0) {
        return 0;
    }
    const int status = blocking_call([&] { return ::fsync(fd); }, OnSignal::kRetry);
    const int err = errno;
    ::close(fd);
    return status < 0 && !cannot_flush(err) ? os_error(err) : 0;
}

// The rename was refused (the target is a mount point, a security module says no): the
// finished temporary file is copied into the target in place, then removed.
int Save::copy_temp_in_place() {
    const int source = ::open(temp_, O_RDONLY | O_CLOEXEC);
    if (source < 0) {
        return os_error(errno);
    }
    const size_t size = written_;
    written_ = 0;
    go_in_place(target_fd_);
    char* block = static_cast<char*>(std::malloc(kCopyBlock));
    int status = block != nullptr ? reserve(size) : (PyErr_NoMemory(), -1);
    for (size_t done = 0; status == 0 && done < size;) {
        const size_t want = std::min(kCopyBlock, size - done);
        const ssize_t n =
            blocking_call([&] { return ::pread(source, block, want, static_cast<off_t>(done)); },
                          touched_ ? OnSignal::kRetry : OnSignal::kRunHandlers);
        if (n <= 0) {
            status = PyErr_Occurred() ? -1 : os_error(n == 0 ? EIO : errno);
        } else {
            status = write(block, static_cast<size_t>(n));
            done += static_cast<size_t>(n);
        }
    }
    std::free(block);
    ::close(source);
    if (status == 0 && (status = commit_target()) == 0) {
        ::unlink(temp_);
        temp_[0] = '\0';
    }
    return status;
}

int Save::commit_rename() {
    if (flush(fd_) < 0) {
        return -1;
    }
    const int fd = fd_;
    fd_ = -1;
    if (blocking_close(fd) < 0) {
        return os_error(errno);
    }
    if (blocking_call([&] { return ::rename(temp_, target_); }) < 0) {
        if (PyErr_Occurred()) {
            return -1;
        }
        return target_fd_ >= 0 ? copy_temp_in_place() : os_error(errno);
    }
    temp_[0] = '\0';
    if (target_fd_ >= 0) {
        ::close(target_fd_);
        target_fd_ = -1;
    }
    return flush_folder();
}

int Save::commit() {
    const int status = mode_ == Mode::kRename ? commit_rename() : commit_target();
    if (status == 0) {
        done_ = true;
    }
    return status;
}

void Save::abort() noexcept {
    if (done_) {
        return;
    }
    done_ = true;
    if (mode_ == Mode::kInPlace && fd_ >= 0) {
        cut_back();
    }
    for (int fd : {fd_, target_fd_}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    fd_ = target_fd_ = -1;
    if (temp_[0] != '\0') {
        ::unlink(temp_);
        temp_[0] = '\0';
    }
}

}  // namespace wrenfold::inkwright
