# The two Quick start commands: `make run` and `make test`. Both install what is missing,
# configure and build first.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
WERROR := $(if $(CI),-DORLAVANT_WERROR=ON,)
LAUNCHER := $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache,)

.PHONY: all deps configure build test run bench screenshots format clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(LAUNCHER) $(WERROR) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	@cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

run:
	@scripts/run-local --check-display
	@$(MAKE) --no-print-directory build
	@scripts/run-local $(BUILD_DIR)

bench: build
	@scripts/run-bench $(BUILD_DIR)

screenshots: build
	@scripts/screenshots $(BUILD_DIR) screenshots

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	@rm -rf $(BUILD_DIR)
