# Both targets bring their own CPython 3.14 (see DEVELOPERS.md) on a machine without one;
# `make test` then also runs the suite on the machine's CPython 3.11 when it has one.
.PHONY: demo test

demo:
	tools/devenv tools/demo $(ARGS)

test:
	tools/devenv tools/run-tests
	tools/run-tests-host
