# SPDX-License-Identifier: MIT
# Two commands for a new user: `make demo` runs the plug-in through the command-line host,
# `make test` runs every test (normal, sanitizer and fuzzing builds). Both install what is missing.
.PHONY: all setup configure build demo test bench format format-check install clean package docs dist

PLUGHOST := build/default/tools/plughost
PLUGIN := build/default/Trimwise.so

all: build

setup:
	@bash scripts/setup.sh

configure: setup
	@cmake --preset default >/dev/null

build: configure
	@cmake --build --preset default -j2

# The demo needs only the plug-in and the host, not the tests.
demo: configure
	@cmake --build --preset default -j2 --target Trimwise plughost
	@echo "== plughost info $(PLUGIN)"
	@$(PLUGHOST) info $(PLUGIN)
	@echo
	@echo "== plughost process $(PLUGIN) (built-in stereo test signal, left -6 dB, right x0.5)"
	@$(PLUGHOST) process $(PLUGIN) --param "Left Gain=-6dB" --param "Right Gain=0.5" \
		-o build/demo-out.wav --overwrite

test: setup
	@bash scripts/test.sh

bench: build
	@build/default/bench/trimwise_bench --benchmark_repetitions=10 --benchmark_min_time=0.05 \
		--benchmark_enable_random_interleaving=true

# The plug-in for all four platforms in dist/<platform>/, with a SHA-256 list.
dist: setup
	@bash scripts/dist.sh

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

format-check:
	@git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

install: build
	@cmake --install build/default

# Debian packages (trimwise, plughost, trimwise-dev, python3-plughost) in build/default/packages.
package: configure
	@cmake --build --preset default -j2 --target Trimwise Trimwise_lv2 trimwise_framework plughost \
		plughost_manpage python_package
	@cd build/default && cpack -G DEB

# API reference of the framework in build/docs/html.
docs: setup
	@bash scripts/test_docs.sh

clean:
	@rm -rf build
