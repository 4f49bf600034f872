// A document, or a text already made, saved to a file. Replacing by rename writes a document
// to the temporary file as it is made, a block at a time, so that memory stays bounded
// whatever the document's size; the target is untouched until the rename. Every other way of
// saving (in place, or into a FIFO or a device) has the whole text made first: nothing is
// written if making it fails.
#include <sys/stat.h>

#include "inkwright.hpp"
#include "save.hpp"

namespace wrenfold::inkwright {

namespace {

// Opening waits for a FIFO's reader: such a target is opened once there is text to give it.
bool opens_first(const char* path) {
    struct stat st;
    return ::stat(path, &st) < 0 || S_ISREG(st.st_mode);
}

}  // namespace

int write_document(const CUnifiedData* data, const char* path, PyObject* filepath,
                   int escape_strings) {
    Save save(path, filepath);  // its destructor undoes what it can on failure
    const bool opened = opens_first(path);
    if (opened && save.open() < 0) {
        return -1;
    }
    const bool stream = opened && save.mode() == Save::Mode::kRename;
    Output out(stream ? Output::Sink::kStream : Output::Sink::kFile, &save);
    if (out.start(data) < 0 || _encode_to_buffer(data, &out, escape_strings) < 0 ||
        (!opened && save.open() < 0)) {
        return -1;
    }
    return out.save();
}

int write_text(const char* text, size_t size, const char* path, PyObject* filepath) {
    Save save(path, filepath);
    if (save.open() < 0 || save.reserve(size) < 0 || save.write(text, size) < 0 ||
        save.commit() < 0) {
        return -1;
    }
    return 0;
}

}  // namespace wrenfold::inkwright
