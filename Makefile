.PHONY: demo test bench wheel setup

demo:   ## installs what is missing, builds, loads real places and answers a few questions
	scripts/demo.sh

test:   ## installs what is missing, builds, runs every test (C++, CPython, PyPy, the wheels)
	scripts/test.sh

bench:  ## the benchmark against the peers (see bench/)
	scripts/bench.sh

wheel:  ## the sdist and self-contained wheels for CPython and PyPy in dist/, each checked
	scripts/wheel.sh

setup:
	scripts/setup.sh
