# The two commands of the README: `make run` and `make test`.
BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local

.PHONY: all deps configure build test run bench clean sanitize screenshots install

all: build

deps:
	./scripts/install-deps

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

configure: $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: deps
	$(MAKE) build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

run: deps
	$(MAKE) build
	./scripts/run-demo $(BUILD)

bench:
	./scripts/install-deps --bench
	$(MAKE) build
	cmake --build $(BUILD) --target benchmarks

screenshots: deps
	$(MAKE) configure
	cmake --build $(BUILD) -j $(JOBS) --target orvyn-applet-screenshots
	QT_QPA_PLATFORM=offscreen $(BUILD)/bin/orvyn-applet-screenshots $(BUILD)/screenshots

# Installs under PREFIX (DESTDIR honoured): see packaging/CMakeLists.txt.
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

sanitize:
	$(MAKE) test BUILD=build-sanitize CMAKE_FLAGS=-DORVYN_SANITIZE=ON

clean:
	rm -rf $(BUILD)
