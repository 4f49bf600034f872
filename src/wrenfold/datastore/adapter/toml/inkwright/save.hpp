// One save of a document to a path, such that a failed save never costs the file that was
// there. The steps: open(), reserve() with the document's size, write() the bytes (in as
// many blocks as the caller likes), commit(); abort(), or the destructor, undoes what it can.
//
// A regular file is replaced by renaming a temporary file beside it over it, once that file
// is complete and flushed: all or nothing, even across a crash. Where the rename would not
// keep the file's identity (its owner, group or mode cannot be given to the new file, it has
// other hard links) or is refused, the file is overwritten in place instead: opened without
// truncation, locked, its new size reserved before its first byte changes, cut to length
// last. FIFOs and devices are written as a stream.
#pragma once

#include <Python.h>

#include <sys/stat.h>
#include <sys/types.h>

#include <climits>
#include <cstddef>

#include "blocking.hpp"

namespace wrenfold::inkwright {

// The length of the folder part of `path`, its last slash included.
inline size_t folder_length(const char* path) {
    const char* slash = __builtin_strrchr(path, '/');
    return slash != nullptr ? static_cast<size_t>(slash - path) + 1 : 0;
}

class Save {
public:
    enum class Mode { kRename, kInPlace, kStream };

    // `path` is the UTF-8 of `filepath`, which the errors name; both outlive the save.
    Save(const char* path, PyObject* filepath) noexcept : path_(path), filepath_(filepath) {}
    ~Save() {
        abort();
    }
    Save(const Save&) = delete;
    Save& operator=(const Save&) = delete;

    // Decides how the target is replaced and opens what is written. -1 with the exception
    // set (OSError, or whatever a signal handler raised while a FIFO waited for a reader).
    int open();
    // The whole document's size, before the first write: the in-place path reserves it.
    int reserve(size_t size);
    // With `lock` kHold, other threads wait, and a signal runs its handlers only once the
    // save is back in the interpreter.
    int write(const char* data, size_t size, Lock lock = Lock::kRelease);
    Mode mode() const {
        return mode_;
    }
    // Makes the written bytes the target's content, flushed to the disk. On failure the
    // target keeps its old content, except after an error in the middle of an overwrite in
    // place (the disk failing, not filling), and when the flush of the folder after the
    // rename fails: the new content is then in place, its durability unconfirmed.
    int commit();
    // Removes the temporary file, or gives back the room reserved in place. Keeps any pending
    // exception; does nothing after commit().
    void abort() noexcept;

private:
    int resolve_links();
    int open_new();
    int open_existing();
    int create_temp(mode_t mode);
    bool keeps_identity(int fd, const struct stat& target);
    void go_in_place(int fd);

    int lock_in_place();
    void cut_back() noexcept;
    int commit_target();
    int commit_rename();
    int copy_temp_in_place();
    int flush(int fd);
    int flush_folder();

    int open_failed();
    int os_error(int err);

    const char* path_;
    PyObject* filepath_;
    char target_[PATH_MAX] = {};  // `path_` with symbolic links followed
    char temp_[PATH_MAX] = {};    // the temporary file while it exists
    Mode mode_ = Mode::kStream;
    int fd_ = -1;           // what write() writes to
    int target_fd_ = -1;    // rename over an existing file: the target, should the rename fail
    off_t old_size_ = -1;   // in place, once reserved: the target's length before the save
    bool touched_ = false;  // in place: the target's content has started to change
    bool done_ = false;
    size_t written_ = 0;
};

}  // namespace wrenfold::inkwright
