// A whole document in memory, saved to a file in one go.
#include "inkwright.hpp"
#include "save.hpp"

namespace wrenfold::inkwright {

int write_file(const char* path, PyObject* filepath, const char* data, size_t size) {
    Save save(path, filepath);
    if (save.open() < 0 || save.reserve(size) < 0 || save.write(data, size) < 0 ||
        save.commit() < 0) {
        return -1;  // the save's destructor undoes what it can
    }
    return 0;
}

}  // namespace wrenfold::inkwright
