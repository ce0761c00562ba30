# Every target sets up the toolchain first (scripts/toolchain), then runs
# inside it: on the host when it has Python 3.14 with headers, otherwise in
# a Debian testing root built once under ~/.cache/quorvatel.
TOOLCHAIN := scripts/toolchain run

.PHONY: demo test build toolchain clean

demo:
	$(TOOLCHAIN) scripts/demo

test:
	$(TOOLCHAIN) scripts/test

build:
	$(TOOLCHAIN) scripts/build release

toolchain:
	scripts/toolchain ensure

clean:
	rm -rf build
