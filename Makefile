# SPDX-License-Identifier: MIT
# Thin wrapper over the CMake presets: `make demo` and `make test` are the README's two commands.
.PHONY: demo test tsan package bench fuzz clean

JOBS ?= 2

# Only what building the program needs: the tests' tools are not installed.
demo:
	bash scripts/install-deps.sh build
	cmake --preset release -DMD5REFRESH_TESTS=OFF >/dev/null
	cmake --build --preset release -j $(JOBS) --target md5refresh
	rm -rf build/demo && mkdir -p build/demo && cp -R examples/. build/demo/
	@echo '--- md5refresh update.txt (in build/demo)'
	cd build/demo && ../release/md5refresh update.txt
	@echo '--- build/demo/update.txt after the run'
	@cat build/demo/update.txt

test:
	bash scripts/install-deps.sh
	cmake --preset release
	cmake --build --preset release -j $(JOBS)
	ctest --preset release -j $(JOBS)
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(JOBS)
	scripts/valgrind-check.sh build/release/md5refresh

# The tests again under ThreadSanitizer: the workers, the committer, the feed.
tsan:
	bash scripts/install-deps.sh
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan -j $(JOBS)

# The Windows zip, the Linux tarball and .deb, and SHA256SUMS, in build/packages/.
package:
	bash scripts/package.sh

bench:
	cmake --preset bench
	cmake --build --preset bench -j $(JOBS)
	build/bench/bench/md5_bench

# libFuzzer, clang: each target for FUZZ_SECONDS, growing build/fuzz/work/<target>.
FUZZ_SECONDS ?= 600
fuzz:
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)
	for target in manifest_reader_fuzz command_line_fuzz json_lines_fuzz md5_fuzz sha256_fuzz file_set_fuzz; do \
	  mkdir -p build/fuzz/work/$$target && \
	  build/fuzz/fuzz/$$target -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    $$( [ $$target = manifest_reader_fuzz ] && echo -dict=fuzz/manifest.dict ) \
	    build/fuzz/work/$$target fuzz/corpus/$$target || exit 1; \
	done

clean:
	rm -rf build
