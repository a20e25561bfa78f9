# Thin wrapper over the CMake presets (native, native-asan, native-tsan).
.PHONY: run test deps bench format

run: deps
	cmake --preset native >/dev/null
	cmake --build --preset native -j2 --target kestrin-model-run
	./build/native/tools/kestrin-model-run --out out

test: deps
	scripts/test-all.sh

bench: deps
	cmake --preset native >/dev/null
	cmake --build --preset native -j2
	for b in build/native/bench/*_bench; do "$$b"; done

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

deps:
	@scripts/install-deps.sh
