// Writing the finished document to a file without ever losing the user's existing file:
// a regular file is replaced by renaming a fully written temporary file over it.
#include "inkwright.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <wrenfold/_cpp/common/ref.hpp>

namespace wrenfold::inkwright {

namespace {

int open_failed(PyObject* filepath) {
    common::Ref message(PyUnicode_FromFormat("Could not open file for writing: %U", filepath));
    if (message) {
        PyErr_SetObject(PyExc_OSError, message.get());
    }
    return -1;
}

int os_error(int errnum, PyObject* filepath) {
    errno = errnum;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filepath);
    return -1;
}

// Every byte, or -1 with errno set.
int write_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (n == 0) {
            errno = EIO;
            return -1;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

// Truncates and writes, as fopen "wb" would: for devices, FIFOs, and directories we may
// not create files in.
int write_in_place(const char* path, PyObject* filepath, const char* data, size_t size) {
    int fd;
    do {
        fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return open_failed(filepath);
    }
    if (write_all(fd, data, size) < 0) {
        int saved = errno;
        ::close(fd);
        return os_error(saved, filepath);
    }
    if (::close(fd) < 0) {
        return os_error(errno, filepath);
    }
    return 0;
}

// A name beside the target that nothing else uses: hidden, and marked as temporary.
std::string temp_name(const std::string& target, unsigned attempt) {
    size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    // Keep the name well under NAME_MAX whatever the target's length.
    std::string base = target.substr(slash == std::string::npos ? 0 : slash + 1, 64);
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".%ld.%lx.%u.tmp", static_cast<long>(getpid()),
                  static_cast<unsigned long>(ts.tv_nsec) ^ static_cast<unsigned long>(ts.tv_sec),
                  attempt);
    return dir + "." + base + suffix;
}

// Errors that mean "no temporary file here, but the target itself may be writable".
bool can_fall_back(int errnum) {
    return errnum == EACCES || errnum == EPERM || errnum == EROFS || errnum == ENOENT ||
           errnum == ENOTDIR || errnum == ENAMETOOLONG || errnum == ELOOP;
}

}  // namespace

int write_file(const char* path, PyObject* filepath, const char* data, size_t size) {
    struct stat st;
    bool exists = ::stat(path, &st) == 0;
    struct stat lst;
    bool link = ::lstat(path, &lst) == 0 && S_ISLNK(lst.st_mode);
    // A dangling link is kept: what it names is created, as fopen would.
    if ((exists && !S_ISREG(st.st_mode)) || (!exists && link)) {
        return write_in_place(path, filepath, data, size);
    }
    if (exists) {
        // The user must be able to write the file itself, as with an in-place write.
        int fd = ::open(path, O_WRONLY | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) {
            return open_failed(filepath);
        }
        ::close(fd);
    }

    // Replace what a symlink points to, not the link.
    std::string target = path;
    if (exists && link) {
        char* resolved = ::realpath(path, nullptr);
        if (resolved == nullptr) {
            return write_in_place(path, filepath, data, size);
        }
        target = resolved;
        std::free(resolved);
    }
    if (target.empty() || target.back() == '/') {
        return write_in_place(path, filepath, data, size);
    }

    std::string tmp;
    int fd = -1;
    for (unsigned attempt = 0; fd < 0 && attempt < 100; attempt++) {
        tmp = temp_name(target, attempt);
        // 0666 so that the umask applies, as for a file that fopen creates.
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
        if (fd < 0 && errno != EEXIST && errno != EINTR) {
            if (can_fall_back(errno)) {
                return write_in_place(path, filepath, data, size);
            }
            return os_error(errno, filepath);
        }
    }
    if (fd < 0) {
        return os_error(errno, filepath);
    }

    int err = 0;
    if (exists && ::fchmod(fd, st.st_mode & 07777) < 0) {
        err = errno;
    }
    if (err == 0 && write_all(fd, data, size) < 0) {
        err = errno;
    }
    if (::close(fd) < 0 && err == 0) {
        err = errno;
    }
    if (err == 0 && ::rename(tmp.c_str(), target.c_str()) < 0) {
        err = errno;
    }
    if (err != 0) {
        ::unlink(tmp.c_str());
        return os_error(err, filepath);
    }
    return 0;
}

}  // namespace wrenfold::inkwright
