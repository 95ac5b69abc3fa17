# The two commands of the README: `make run` and `make test`.
# Both install what they need (scripts/deps.sh) and build first.

PRESET ?= default

.PHONY: all deps build run test asan tsan sanitize clean format

all: build

deps:
	@scripts/deps.sh build

build: deps
	@cmake --preset $(PRESET) >/dev/null
	@cmake --build --preset $(PRESET)

run: build
	@build/$(PRESET)/bin/serlynx serve

test: deps
	@scripts/deps.sh test
	@cmake --preset $(PRESET) >/dev/null
	@cmake --build --preset $(PRESET)
	@ctest --preset $(PRESET)

asan: deps
	@cmake --preset asan >/dev/null
	@cmake --build --preset asan
	@ctest --preset asan

tsan: deps
	@cmake --preset tsan >/dev/null
	@cmake --build --preset tsan
	@ctest --preset tsan

sanitize: asan tsan

format:
	@git ls-files '*.h' '*.cpp' | xargs clang-format -i

clean:
	rm -rf build
