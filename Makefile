# Thin wrapper over the CMake presets (native, native-asan, native-tsan, windows).
.PHONY: run test deps bench format dist

# The built-in test card through the plug-in module on the software device: strength 0 gives
# the source back exactly (before), the default track values filter it (after).
run: deps
	cmake --preset native >/dev/null
	cmake --build --preset native -j2 --target kestrin-run
	mkdir -p out
	./build/native/tools/kestrin-run --strength 0 --output out/testcard-before.png
	./build/native/tools/kestrin-run --output out/testcard-after.png

test: deps
	scripts/test-all.sh

# frame_bench (the whole frame against OpenCV) first, then the component benchmarks.
bench:
	@scripts/install-deps.sh --bench
	cmake --preset native >/dev/null
	cmake --build --preset native -j2
	./build/native/bench/frame_bench
	for b in build/native/bench/*_bench; do [ "$$b" = build/native/bench/frame_bench ] || "$$b"; done
	KESTRIN_SOAK_FRAMES=10000 build/native/tests/hostsim/soak_tests

# The release: dist/kestrin-<version>-win32.zip from the windows preset (kestrin.auf,
# kestrin-run.exe, the user's guide in Japanese and English).
dist: deps
	@scripts/install-deps.sh --wine
	cmake --preset windows >/dev/null
	cmake --build --preset windows -j2 --target dist
	mkdir -p dist
	rm -f dist/kestrin-*-win32.zip
	cp build/windows/kestrin-*-win32.zip dist/
	@ls -l dist/kestrin-*-win32.zip

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

deps:
	@scripts/install-deps.sh
