# vesk: `make run` runs the main job, `make test` runs the whole suite.
# Both install what is missing first (scripts/setup.sh, as root).

BUILD      ?= build
BUILD_ASAN ?= build-asan
BUILD_FUZZ ?= build-fuzz
FUZZ_TIME  ?= 60
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
PREFIX     ?= /usr/local

.PHONY: all setup build build-asan run test test-release test-asan bench clean \
        fuzz test-fuzz install uninstall octave-pkg python

all: build

setup:
	@sh scripts/setup.sh

build: setup
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

build-asan: setup
	@cmake -S . -B $(BUILD_ASAN) -DCMAKE_BUILD_TYPE=Debug -DVESK_SANITIZE=ON \
	  -DVESK_BENCH=OFF $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD_ASAN) -j $(JOBS)

# The main job: prove the Henon map hyperbolic on the horseshoe parameter box
# a = [5.9, 6.1], b = [0.29, 0.31]; the picture and the report go to out/.
run: build
	@mkdir -p out
	@./$(BUILD)/vesk verify --a 5.9,6.1 --b 0.29,0.31 \
	  --plot out/horseshoe.svg --json out/horseshoe.json

test-release: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: build-asan
	cd $(BUILD_ASAN) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

# The fuzzer runs first so that the suites' summaries close the output.
test: test-fuzz test-release test-asan

# libFuzzer targets (clang): each runs FUZZ_TIME seconds on a copy of its
# checked-in seed corpus, so that the corpus in the tree stays as it is.
fuzz: setup
	@CC=clang CXX=clang++ cmake -S . -B $(BUILD_FUZZ) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVESK_FUZZ=ON -DVESK_TESTS=OFF -DVESK_BENCH=OFF $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD_FUZZ) -j $(JOBS) --target fuzz_tree_load

test-fuzz: fuzz
	@rm -rf $(BUILD_FUZZ)/corpus/tree_load && mkdir -p $(BUILD_FUZZ)/corpus/tree_load
	@cp fuzz/corpus/tree_load/* $(BUILD_FUZZ)/corpus/tree_load/
	@echo "fuzz_tree_load: fuzzing for $(FUZZ_TIME) s"
	@cd $(BUILD_FUZZ) && ./fuzz_tree_load -max_total_time=$(FUZZ_TIME) -max_len=8192 \
	  -close_fd_mask=2 -print_final_stats=1 corpus/tree_load >fuzz_tree_load.log 2>&1 \
	  || { tail -n 80 fuzz_tree_load.log; echo "fuzz_tree_load: FAILED (log: $(BUILD_FUZZ)/fuzz_tree_load.log)"; exit 1; }
	@grep -E "^(Done|stat::number_of_executed_units)" $(BUILD_FUZZ)/fuzz_tree_load.log || true

# The command line, the library, its headers, the CMake package and vesk.pc
# under PREFIX (as root for /usr/local; DESTDIR is honoured).
#
# A staged install into $(BUILD)/install-stage comes first: the folders it
# holds that do not exist yet under the prefix are the ones this install
# creates, and go to $(BUILD)/install_dirs.txt beside CMake's list of files
# (install_manifest.txt), added to those of an install not yet removed.
# Both lists name the files and folders where they are, DESTDIR included.
STAGE = $(abspath $(BUILD))/install-stage
INSTALL_DIRS = $(BUILD)/install_dirs.txt
INSTALL_PREFIX = $(abspath $(PREFIX))

install: build
	@test -f $(BUILD)/install_manifest.txt || rm -f $(INSTALL_DIRS)
	@rm -rf $(STAGE)
	@DESTDIR='$(STAGE)$(DESTDIR)' cmake --install $(BUILD) --prefix '$(INSTALL_PREFIX)' >/dev/null
	@{ if [ -f $(INSTALL_DIRS) ]; then cat $(INSTALL_DIRS); fi; \
	   cd $(STAGE) && find . -mindepth 1 -type d | sed 's|^\.||' | \
	     while IFS= read -r d; do [ -d "$$d" ] || printf '%s\n' "$$d"; done; \
	 } | LC_ALL=C sort -u >$(INSTALL_DIRS).new
	@rm -rf $(STAGE)
	@mv $(INSTALL_DIRS).new $(INSTALL_DIRS)
	@cmake --install $(BUILD) --prefix '$(INSTALL_PREFIX)'
	@if [ -n '$(DESTDIR)' ]; then sed -i 's|^|$(DESTDIR)|' $(BUILD)/install_manifest.txt; fi

# Removes what the last `make install` put in place: the files CMake lists
# in install_manifest.txt, then the folders the installs created, deepest
# first and each only when it is empty.
uninstall:
	@test -f $(BUILD)/install_manifest.txt || { echo "uninstall: nothing installed from $(BUILD)"; exit 1; }
	@xargs -r -d '\n' rm -fv <$(BUILD)/install_manifest.txt
	@if [ -f $(INSTALL_DIRS) ]; then LC_ALL=C sort -r $(INSTALL_DIRS) | \
	   while IFS= read -r d; do \
	     if [ -d "$$d" ]; then rmdir -v --ignore-fail-on-non-empty "$$d"; fi; done; fi
	@rm -f $(BUILD)/install_manifest.txt $(INSTALL_DIRS)

# The Octave package $(BUILD)/vesk-VERSION.tar.gz, for `pkg install`; made
# from the sources alone, without CMake.
octave-pkg:
	@sh scripts/octave_pkg.sh . $(BUILD)

# The Python module built in place (python/vesk/_vesk*.so) for Debian's own
# python3: PYTHONPATH=python /usr/bin/python3 -c 'import vesk'. To install
# it, see README.md ("Python").
python: setup
	@/usr/bin/python3 setup.py --quiet build_ext --inplace

bench: build
	@for b in $(BUILD)/bench_*; do echo "== $$b"; $$b; done

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_FUZZ)
