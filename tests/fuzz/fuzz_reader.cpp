// libFuzzer entry for the TOML reader. The interpreter is embedded once; every input goes to
// fuzz_target.check (beside this file), which reads it with the reader and lets through only
// the errors a reader may raise. Anything else it raises is a finding: the traceback is
// printed and the process aborts, so that libFuzzer keeps the input.
#include <Python.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <wrenfold/_cpp/common/ref.hpp>

using wrenfold::common::Ref;

namespace {

PyObject* check = nullptr;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_reader: %s\n", what);
    if (PyErr_Occurred()) {
        PyErr_Print();
    }
    std::abort();
}

void start_interpreter() {
    // Objects come from malloc, where AddressSanitizer sees every byte of them.
    PyPreConfig pre;
    PyPreConfig_InitPythonConfig(&pre);
    pre.allocator = PYMEM_ALLOCATOR_MALLOC;
    if (PyStatus_Exception(Py_PreInitialize(&pre))) {
        fail("cannot pre-initialise the interpreter");
    }
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    config.install_signal_handlers = 0;  // libFuzzer's own handlers stay in charge
    config.parse_argv = 0;
    PyStatus status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) {
        fail("cannot initialise the interpreter");
    }
    Ref module(PyImport_ImportModule("fuzz_target"));
    if (!module) {
        fail("cannot import fuzz_target (PYTHONPATH must name tests/fuzz and the build)");
    }
    check = PyObject_GetAttrString(module.get(), "check");
    if (check == nullptr) {
        fail("fuzz_target has no check()");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    start_interpreter();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Ref bytes(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                        static_cast<Py_ssize_t>(size)));
    if (!bytes) {
        fail("cannot make the input's bytes");
    }
    Ref result(PyObject_CallOneArg(check, bytes.get()));
    if (!result) {
        fail("the reader raised what it must not");
    }
    return 0;
}
