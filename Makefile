.PHONY: demo test bench setup

demo:   ## installs what is missing, builds, loads real places and answers a few questions
	scripts/demo.sh

test:   ## installs what is missing, builds, runs every test (C++, CPython, PyPy)
	scripts/test.sh

bench:  ## the benchmark against the peers (see bench/)
	scripts/bench.sh

setup:
	scripts/setup.sh
