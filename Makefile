# Both targets bring their own CPython 3.14 (see DEVELOPERS.md) on a machine without one.
.PHONY: demo test

demo:
	tools/devenv tools/demo $(ARGS)

test:
	tools/devenv tools/run-tests
