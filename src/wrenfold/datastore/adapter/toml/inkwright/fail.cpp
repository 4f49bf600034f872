// The failure paths every writer shares: cold, and kept out of line.
#include "inkwright.hpp"

namespace wrenfold::inkwright {

int fail(const char* qualname, const char* file, int line) {
    common::add_traceback(qualname, file, line);
    return -1;
}

}  // namespace wrenfold::inkwright
