# The two commands of the README: `make run` and `make test`.
# Both install what they need (scripts/deps.sh) and build first.

PRESET ?= default

.PHONY: all deps build run test asan tsan sanitize lockcheck layouts fuzz fuzz-full stress ce-sched-test arm-test usb-vm-test mutants mutants-sample coverage clean format

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

# The driver alone, compiled by clang with -Wthread-safety: every lock
# annotation proved (a field touched without its lock fails the build).
lockcheck: deps
	@scripts/deps.sh clang
	@cmake --preset lockcheck >/dev/null
	@cmake --build --preset lockcheck

# The serial records' layouts against MinGW-w64's windows.h.
layouts: build
	@scripts/check_layouts.sh build/$(PRESET)/bin/layout_dump

# Every fuzz target for FUZZ_SECONDS (CI: 60) or, for fuzz-full, 10 minutes.
FUZZ_SECONDS ?= 60
fuzz: deps
	@scripts/fuzz.sh $(FUZZ_SECONDS)

fuzz-full: deps
	@scripts/fuzz.sh 600

# The unplug and fault stress in full (the suite runs it scaled down):
# STRESS_CYCLES seeded cycles from STRESS_SEED.
STRESS_CYCLES ?= 1000
STRESS_SEED ?= 1
stress: build
	@SERLYNX_STRESS_CYCLES=$(STRESS_CYCLES) SERLYNX_STRESS_SEED=$(STRESS_SEED) \
		build/$(PRESET)/bin/stress_tests --gtest_filter='UnplugStressTest.*'

# The unplug stress (CE_STRESS_CYCLES cycles, with random kill points) and
# every removal test under the strict platform modes together: CE scheduling
# (one CPU, strict priorities), TerminateThread stopping its target anywhere
# and the USB host's strict ordering and lifetime (docs/emulated-core.md,
# "Strict modes" and "USB host modes").
CE_STRESS_CYCLES ?= 300
CE_SCHED_TESTS ?= Unplug|AllocSweep|Remov
ce-sched-test: build
	@SERLYNX_SCHEDULING=ce SERLYNX_TERMINATION=anywhere CEHOST_USB_STRICT_ORDER=1 \
		SERLYNX_STRESS_CYCLES=$(CE_STRESS_CYCLES) ctest --preset $(PRESET) -R '$(CE_SCHED_TESTS)'

# The whole suite cross-built for 32-bit ARM and run under qemu-arm.
arm-test: deps
	@cmake --preset arm >/dev/null
	@cmake --build --preset arm
	@ctest --preset arm

# The driver on USB devices nobody here wrote, in a QEMU guest built from
# Debian packages (scripts/usb-vm.sh): QEMU's FTDI chip and Linux's gadget
# functions. USB_VM_ONLY picks scenarios (ftdi,acm,serial,composite).
USB_VM_ONLY ?= ftdi,acm,serial,composite
usb-vm-test: build
	@scripts/deps.sh vm
	@tests/usbvm/run.py build/$(PRESET)/bin --only $(USB_VM_ONLY)

# Mutation testing (scripts/mutants/): small faults put into a scratch copy
# of the code one at a time; the suite must catch each. `mutants` runs the
# whole list and rewrites the results table in docs/testing.md (about an
# hour on 2 cores); `mutants-sample` runs the fixed CI sample (about ten
# minutes) and fails when a mutant survives.
mutants: deps
	@scripts/deps.sh test
	@scripts/mutants/run.py --doc docs/testing.md --json build/mutants/results.json

mutants-sample: deps
	@scripts/deps.sh test
	@scripts/mutants/run.py --sample

# Line coverage of driver/ by the whole suite (gcc --coverage, read with
# gcov): the `coverage` preset built in build/coverage, every test run once.
coverage: deps
	@scripts/coverage.py --files

format:
	@git ls-files '*.h' '*.cpp' | xargs clang-format -i

clean:
	rm -rf build
