# Thin wrapper over CMake. Every target builds what it needs first.
BUILD      ?= build
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=
PACKAGES   := cmake make g++ pkg-config libasio-dev libmsgpack-cxx-dev libsystemd-dev \
              libgtest-dev libgmock-dev libssl-dev bash dash zsh clang clang-format tmux

.PHONY: all deps configure build test test-asan test-tsan format format-check bench fuzz run local clean

all: build

# Installs missing Debian packages when run as root; otherwise prints the command to run.
deps:
	@missing=""; for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "Installing:$$missing"; \
	    export DEBIAN_FRONTEND=noninteractive; \
	    apt-get install -y --no-install-recommends $$missing || \
	      { apt-get update && apt-get install -y --no-install-recommends $$missing; }; \
	  else \
	    echo "Missing packages. Install them with:"; \
	    echo "  sudo apt-get install -y --no-install-recommends$$missing"; \
	    exit 1; \
	  fi; \
	fi

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)

configure: deps $(BUILD)/CMakeCache.txt

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build format-check
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: deps
	$(MAKE) build BUILD=build-asan CMAKE_ARGS="-DVELTRO_SANITIZE=address,undefined"
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j $(JOBS)

test-tsan: deps
	$(MAKE) build BUILD=build-tsan CMAKE_ARGS="-DVELTRO_SANITIZE=thread"
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j $(JOBS)

SOURCES = $(shell git ls-files -co --exclude-standard '*.cpp' '*.hpp' 2>/dev/null)

format:
	clang-format -i $(SOURCES)

format-check:
	@clang-format --dry-run --Werror $(SOURCES)

bench: build
	$(BUILD)/veltro-bench

fuzz: deps
	$(MAKE) build BUILD=build-fuzz CMAKE_ARGS="-DVELTRO_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++"
	mkdir -p fuzz/findings
	build-fuzz/fuzz/decoder-fuzzer -max_total_time=60 -rss_limit_mb=2048 -malloc_limit_mb=512 \
	  fuzz/findings fuzz/corpus

clean:
	rm -rf build build-asan build-tsan build-fuzz
