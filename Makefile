# Every target runs inside tools/devenv: directly when this machine has CPython 3.14 with
# its headers, otherwise in a Debian unstable root that tools/devenv creates once.
.PHONY: demo test shell check test-asan fuzz test-dbg wheel-smoke test-py315 build bench bench-compare clean

demo:
	tools/devenv run bash -c 'tools/build release && PYTHONPATH=build/release:python python3 examples/demo.py'

test:
	tools/devenv run tools/test

# A shell where python3 imports the built package and `brindlex` runs.
shell:
	tools/devenv run tools/shell

# Everything CI runs after the tests: the sanitizer build, the fuzzers, reference and
# memory leak checks under the debug interpreter, the installed wheel, and the Python
# suite and the wheel under CPython 3.15.
check: test-asan fuzz test-dbg wheel-smoke test-py315

test-asan:
	tools/devenv run tools/test-asan

fuzz:
	tools/devenv run tools/fuzz

test-dbg:
	tools/devenv run tools/test-dbg

wheel-smoke:
	tools/devenv run tools/wheel-smoke

test-py315:
	tools/devenv run tools/test-py315

build:
	tools/devenv run tools/build release

bench:
	tools/devenv run bash -c 'tools/build release && cmake --build build/release --target walk_bench symdelete_bench >/dev/null && PYTHONPATH=build/release:python python3 benchmarks/bench.py $(BENCH_ARGS)'

# The target sections on the build of BASE (a commit; main by default) and on this tree,
# in turn: BASE is checked out under build/base, which the root sees with the tree.
BASE ?= main
bench-compare:
	if [ -d build/base ]; then git -C build/base checkout -q --detach $(BASE); \
	else git worktree add -q --detach build/base $(BASE); fi
	tools/devenv run bash -c 'tools/build release && (cd build/base && tools/build release) && \
	  for t in . build/base; do cmake --build $$t/build/release --target walk_bench symdelete_bench >/dev/null; done && \
	  python3 benchmarks/compare.py build/base . $(BENCH_ARGS)'

clean:
	rm -rf build
