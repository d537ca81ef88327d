# Thin wrapper over the CMake presets: `make demo` and `make test` are the README's two commands.
.PHONY: demo test bench clean

JOBS ?= 2

demo:
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS) --target md5refresh
	rm -rf build/demo && mkdir -p build/demo && cp -R examples/. build/demo/
	@echo '--- md5refresh update.txt (in build/demo)'
	cd build/demo && ../release/md5refresh update.txt
	@echo '--- build/demo/update.txt after the run'
	@cat build/demo/update.txt

test:
	cmake --preset release
	cmake --build --preset release -j $(JOBS)
	ctest --preset release -j $(JOBS)
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(JOBS)

bench:
	cmake --preset bench
	cmake --build --preset bench -j $(JOBS)
	build/bench/bench/md5_bench

clean:
	rm -rf build
