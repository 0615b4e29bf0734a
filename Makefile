# Every target runs inside tools/devenv: directly when this machine has CPython 3.14 with
# its headers, otherwise in a Debian unstable root that tools/devenv creates once.
.PHONY: demo test build bench clean

demo:
	tools/devenv run bash -c 'tools/build release && PYTHONPATH=build/release:python python3 examples/demo.py'

test:
	tools/devenv run tools/test

build:
	tools/devenv run tools/build release

bench:
	tools/devenv run bash -c 'tools/build release && PYTHONPATH=build/release:python python3 benchmarks/bench.py'

clean:
	rm -rf build
