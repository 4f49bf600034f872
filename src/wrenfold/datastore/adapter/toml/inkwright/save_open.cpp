// Opening a save: following symbolic links to the file they name, then choosing between a
// temporary file to rename, the target itself, or a stream.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <wrenfold/_cpp/common/ref.hpp>

#include "save.hpp"

namespace wrenfold::inkwright {

namespace {

// Tells temporary files of one process apart, across threads.
std::atomic<unsigned long> temp_counter;

// Keeps temporary names under NAME_MAX whatever the target's name, cut between characters.
constexpr size_t kMaxBaseInTempName = 160;

size_t cut_base(const char* base) {
    size_t n = std::strlen(base);
    if (n <= kMaxBaseInTempName) {
        return n;
    }
    n = kMaxBaseInTempName;
    while (n > 0 && (static_cast<unsigned char>(base[n]) & 0xC0) == 0x80) {
        n--;
    }
    return n;
}

}  // namespace

int Save::open_failed() {
    // OSError picks the subclass of the error number (FileNotFoundError, PermissionError, ...)
    // and writes the path after the words, as for any OSError with a file name.
    common::Ref exc(PyObject_CallFunction(PyExc_OSError, "isO", errno,
                                          "Could not open file for writing", filepath_));
    if (exc) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    }
    return -1;
}

int Save::os_error(int err) {
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filepath_);
    return -1;
}

// The file a chain of symbolic links ends at, which need not exist: the link stays a link
// and what it names gets the new content.
int Save::resolve_links() {
    const size_t length = std::strlen(path_);
    if (length == 0 || length >= sizeof target_) {
        errno = length == 0 ? ENOENT : ENAMETOOLONG;
        return -1;
    }
    std::memcpy(target_, path_, length + 1);
    for (int hops = 0;; hops++) {
        struct stat st;
        if (::lstat(target_, &st) < 0 || !S_ISLNK(st.st_mode)) {
            return 0;
        }
        char link[PATH_MAX];
        const ssize_t n = ::readlink(target_, link, sizeof link);
        if (hops == 40 || n < 0 || static_cast<size_t>(n) == sizeof link) {
            errno = hops == 40 ? ELOOP : n < 0 ? errno : ENAMETOOLONG;
            return -1;
        }
        // A relative link is read from the folder that holds it.
        const size_t keep = link[0] == '/' ? 0 : folder_length(target_);
        if (keep + static_cast<size_t>(n) >= sizeof target_) {
            errno = ENAMETOOLONG;
            return -1;
        }
        std::memcpy(target_ + keep, link, static_cast<size_t>(n));
        target_[keep + static_cast<size_t>(n)] = '\0';
    }
}

// A new file beside the target, "<folder>/.<name>.wrenfold-save.<pid>.<n>.tmp": hidden,
// and saying what it is should a killed save leave it behind. An fd, or -1 with errno (and
// the exception of a signal handler when errno is EINTR).
int Save::create_temp(mode_t mode) {
    const size_t folder = folder_length(target_);
    const char* base = target_ + folder;
    if (*base == '\0') {
        errno = EISDIR;
        return -1;
    }
    for (int attempt = 0;; attempt++) {
        const int n =
            std::snprintf(temp_, sizeof temp_, "%.*s.%.*s.wrenfold-save.%ld.%lu.tmp",
                          static_cast<int>(folder), target_, static_cast<int>(cut_base(base)), base,
                          static_cast<long>(::getpid()), temp_counter++);
        if (n < 0 || static_cast<size_t>(n) >= sizeof temp_) {
            temp_[0] = '\0';
            errno = ENAMETOOLONG;
            return -1;
        }
        const int fd = blocking_call([&] {
            return ::open(temp_, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, mode);
        });
        if (fd >= 0 || errno != EEXIST || attempt == 1000) {
            if (fd < 0) {
                temp_[0] = '\0';
            }
            return fd;
        }
        // Left by a save killed in a process of the same id, or one of another pid namespace.
    }
}

// Gives the temporary file the target's owner, group and mode; false when they cannot all
// be kept.
bool Save::keeps_identity(int fd, const struct stat& target) {
    struct stat st;
    if (::fstat(fd, &st) < 0) {
        return false;
    }
    if ((st.st_uid != target.st_uid || st.st_gid != target.st_gid) &&
        ::fchown(fd, target.st_uid, target.st_gid) < 0) {
        return false;
    }
    // After fchown, which clears the set-id bits.
    return ::fchmod(fd, target.st_mode & 07777) == 0;
}

void Save::go_in_place(int fd) {
    mode_ = Mode::kInPlace;
    fd_ = fd;
    target_fd_ = -1;
}

int Save::open_new() {
    // 0666 so that the umask applies, as to any file the user creates.
    const int fd = create_temp(0666);
    if (fd < 0) {
        return PyErr_Occurred() ? -1 : open_failed();
    }
    mode_ = Mode::kRename;
    fd_ = fd;
    return 0;
}

int Save::open_existing() {
    // Read access lets the C library reserve room where the file system cannot.
    int fd = blocking_call([&] { return ::open(target_, O_RDWR | O_CLOEXEC | O_NOCTTY); });
    if (fd < 0 && errno == EACCES && !PyErr_Occurred()) {
        fd = blocking_call([&] { return ::open(target_, O_WRONLY | O_CLOEXEC | O_NOCTTY); });
    }
    if (fd < 0) {
        if (PyErr_Occurred()) {
            return -1;
        }
        // Removed since it was looked at: a new file after all.
        return errno == ENOENT ? open_new() : open_failed();
    }
    struct stat st;
    if (::fstat(fd, &st) < 0) {
        const int err = errno;
        ::close(fd);
        return os_error(err);
    }
    if (!S_ISREG(st.st_mode)) {
        mode_ = Mode::kStream;
        fd_ = fd;
        return 0;
    }
    // Renaming would split hard links from the file.
    if (st.st_nlink > 1) {
        go_in_place(fd);
        return 0;
    }
    // Private until it has the target's owner and mode.
    const int temp = create_temp(0600);
    if (temp < 0 && PyErr_Occurred()) {
        ::close(fd);
        return -1;
    }
    if (temp < 0 || !keeps_identity(temp, st)) {
        if (temp >= 0) {
            ::close(temp);
            ::unlink(temp_);
            temp_[0] = '\0';
        }
        go_in_place(fd);
        return 0;
    }
    mode_ = Mode::kRename;
    fd_ = temp;
    target_fd_ = fd;
    return 0;
}

int Save::open() {
    struct stat st;
    // What is no regular file in the end is opened as named: the links of /dev/stdout and
    // /proc/self/fd/N to a pipe name no file that could be followed.
    const bool stream = ::stat(path_, &st) == 0 && !S_ISREG(st.st_mode);
    if (!stream) {
        if (resolve_links() < 0) {
            return open_failed();
        }
        if (::stat(target_, &st) < 0) {
            return errno == ENOENT ? open_new() : open_failed();
        }
        if (S_ISREG(st.st_mode)) {
            return open_existing();
        }
    }
    const char* name = stream ? path_ : target_;
    // A FIFO waits here for a reader.
    const int fd = blocking_call([&] { return ::open(name, O_WRONLY | O_CLOEXEC | O_NOCTTY); });
    if (fd < 0) {
        return PyErr_Occurred() ? -1 : open_failed();
    }
    struct stat now;
    if (::fstat(fd, &now) == 0 && S_ISREG(now.st_mode)) {
        go_in_place(fd);  // replaced by a regular file since it was looked at
    } else {
        fd_ = fd;
    }
    return 0;
}

}  // namespace wrenfold::inkwright
