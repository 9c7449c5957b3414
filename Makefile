# Thin wrapper over CMake. Every target builds what it needs first.
BUILD      ?= build
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=
PACKAGES   := cmake make g++ pkg-config libasio-dev libmsgpack-cxx-dev libsystemd-dev \
              libgtest-dev libgmock-dev bash dash zsh fish clang clang-format tmux \
              libclang-rt-dev python3 openssh-server openssh-client

.PHONY: all deps configure build programs test test-js test-asan test-tsan format format-check bench fuzz \
        run local uninstall deb clean

# CMake runs make beneath this one, which would otherwise announce every folder it enters.
MAKEFLAGS += --no-print-directory

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

# Only the agent and the command, for run and local: not the tests and the benchmark.
PROGRAMS := veltro-terminal-helper veltro-terminal

programs: configure
	@cmake --build $(BUILD) -j $(JOBS) --target $(PROGRAMS)

test: build format-check
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	$(MAKE) --no-print-directory test-js

# The JavaScript client and its web terminal, against the agent just built. Node, npm and
# Chromium are looked for as commands: a Node.js from elsewhere that brings its own npm must
# not be replaced by Debian's.
JS_COMMANDS := node:nodejs npm:npm chromium:chromium

test-js: build
	@missing=""; for pair in $(JS_COMMANDS); do \
	  command -v $${pair%%:*} >/dev/null 2>&1 || missing="$$missing $${pair#*:}"; \
	done; \
	if [ -n "$$missing" ]; then $(MAKE) --no-print-directory deps PACKAGES="$$missing"; fi
	cd clients/js && npm ci --no-audit --no-fund && \
	  VELTRO_AGENT=$(abspath $(BUILD))/veltro-terminal-helper npm test

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
	$(BUILD)/veltro-bench $(BENCH_ARGS)

# The decoder under libFuzzer for a minute, from the small corpus in fuzz/corpus and large
# inputs generated into the build folder. Fails on a crash, a leak, or memory past the limits.
FUZZ_BUILD := build-fuzz

fuzz: deps
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTRO_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target decoder-fuzzer
	python3 fuzz/large-corpus.py $(FUZZ_BUILD)/corpus-large
	mkdir -p $(FUZZ_BUILD)/findings
	$(FUZZ_BUILD)/fuzz/decoder-fuzzer -max_total_time=60 -max_len=1048576 -rss_limit_mb=1024 \
	  -malloc_limit_mb=256 -artifact_prefix=$(FUZZ_BUILD)/ \
	  $(FUZZ_BUILD)/findings fuzz/corpus $(FUZZ_BUILD)/corpus-large

# Starts an agent in the background unless one listens already (its output goes to
# $(BUILD)/agent.log), then opens a shell through it in this terminal. The agent gets the
# environment a user manager would give it: this terminal's own variables (TMUX, TERM_PROGRAM,
# SSH_TTY and the like) would otherwise reach every shell of the agent. The agent ends itself 10
# seconds after the shell has ended.
# SSH_AUTH_SOCK, EDITOR and VISUAL are among them: the desktop session imports them into the user
# manager.
AGENT_ENVIRONMENT := HOME|USER|LOGNAME|PATH|SHELL|LANG|LANGUAGE|LC_[A-Z_]+|XDG_RUNTIME_DIR|DISPLAY|WAYLAND_DISPLAY|DBUS_SESSION_BUS_ADDRESS|SSH_AUTH_SOCK|EDITOR|VISUAL

run: programs
	@if ! $(BUILD)/veltro-terminal --check >/dev/null 2>&1; then \
	  echo "Starting a terminal helper; its log is $(BUILD)/agent.log"; \
	  env -0 | grep -zE '^($(AGENT_ENVIRONMENT))=' | \
	    xargs -0 sh -c 'exec env -i "$$@" setsid $(BUILD)/veltro-terminal-helper --agent \
	      </dev/null >>$(BUILD)/agent.log 2>&1 &' sh; \
	  for i in $$(seq 100); do \
	    $(BUILD)/veltro-terminal --check >/dev/null 2>&1 && break; sleep 0.1; \
	  done; \
	fi
	@status=0; $(BUILD)/veltro-terminal || status=$$?; \
	  if [ $$status != 0 ]; then echo "The shell exited with status $$status."; fi

# Installs the agent for this user under ~/.local and loads it through the systemd user
# manager: the socket starts the agent when a client connects. Without a user manager the files
# stay installed, and the way to load them later or to run the agent by hand is printed.
LOCAL_PREFIX   := $(HOME)/.local
LOCAL_UNIT_DIR := $(or $(XDG_CONFIG_HOME),$(HOME)/.config)/systemd/user
LOCAL_AGENT    := $(LOCAL_PREFIX)/libexec/veltro-terminal-helper/veltro-terminal-helper
# The shell integration scripts' folders, which the manifest does not list.
LOCAL_SHARE    := $(LOCAL_PREFIX)/share/veltro-terminal-helper
# What make local installed, for make uninstall.
LOCAL_MANIFEST := $(BUILD)/install_manifest_Runtime.txt

local: programs
	@VELTRO_SYSTEMD_USER_UNIT_DIR="$(LOCAL_UNIT_DIR)" \
	  cmake --install $(BUILD) --prefix "$(LOCAL_PREFIX)" --component Runtime
	@label=$$(cat $(BUILD)/packaging/agent-label); \
	if ! systemctl --user show-environment >/dev/null 2>&1; then \
	  echo "No systemd user manager is running for $$(id -un), so the agent can’t be loaded."; \
	  echo "Its units are installed in $(LOCAL_UNIT_DIR). Once a user manager runs, load them with:"; \
	  echo "  systemctl --user daemon-reload && systemctl --user enable --now $$label.socket"; \
	  echo "Until then, run the agent by hand: $(LOCAL_AGENT) --agent"; \
	  exit 0; \
	fi; \
	systemctl --user daemon-reload && \
	systemctl --user enable --now $$label.socket && \
	echo "Loaded $$label.socket: the agent starts when a client connects." && \
	echo "Its log: journalctl -t $$label"

# Stops and disables the units when a user manager runs, then removes every file make local
# installed, as listed when it installed them.
uninstall:
	@if [ ! -f $(LOCAL_MANIFEST) ]; then \
	  echo "Nothing to remove: $(LOCAL_MANIFEST) does not list an installation by make local."; \
	  exit 0; \
	fi; \
	label=$$(cat $(BUILD)/packaging/agent-label); \
	if systemctl --user show-environment >/dev/null 2>&1; then \
	  systemctl --user disable --now $$label.socket >/dev/null 2>&1; \
	  systemctl --user stop $$label.service >/dev/null 2>&1; \
	fi; \
	while IFS= read -r file || [ -n "$$file" ]; do \
	  if [ -e "$$file" ] || [ -L "$$file" ]; then rm -f "$$file" && echo "Removed $$file"; fi; \
	done < $(LOCAL_MANIFEST); \
	rmdir "$(dir $(LOCAL_AGENT))" 2>/dev/null; \
	if [ -d "$(LOCAL_SHARE)" ]; then find "$(LOCAL_SHARE)" -depth -type d -empty -delete; fi; \
	if systemctl --user show-environment >/dev/null 2>&1; then systemctl --user daemon-reload; fi; \
	rm -f $(LOCAL_MANIFEST)

# Debian packages of the agent and of the client library's development files, built in a folder
# of their own with the distribution's prefix and flags, then checked by lintian.
DEB_BUILD := build-deb
DEB_OUT   := $(DEB_BUILD)/packages

deb:
	@$(MAKE) deps PACKAGES="$(PACKAGES) dpkg-dev lintian"
	packaging/make-deb $(DEB_BUILD) $(DEB_OUT)
	lintian --fail-on error $(DEB_OUT)/*.deb

clean:
	rm -rf build build-asan build-tsan build-fuzz $(DEB_BUILD)
