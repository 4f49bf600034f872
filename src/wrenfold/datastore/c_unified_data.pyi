"""Constants shared by the native snapshot of the unified data format."""

# ONE, TWO and ZERO, as capsules holding the addresses of Py_ssize_t constants.
__pyx_capi__: dict[str, object]
