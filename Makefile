# Thin front end over the CMake presets.
PREFIX ?= /usr/local
CMAKE ?= cmake

.PHONY: all run test test-sanitize bench fuzz install uninstall deps clean

all:
	$(CMAKE) --preset release >/dev/null
	$(CMAKE) --build --preset release

run: all
	@./build/release/wirrtex

deps:
	@sh scripts/install-deps

test: deps
	$(CMAKE) --preset debug >/dev/null
	$(CMAKE) --build --preset debug
	ctest --preset debug

test-sanitize: deps
	$(CMAKE) --preset sanitize >/dev/null
	$(CMAKE) --build --preset sanitize
	ctest --preset sanitize

bench: deps
	$(CMAKE) --preset bench >/dev/null
	$(CMAKE) --build --preset bench
	sh bench/run-bench build/bench

FUZZ_SECONDS ?= 180
fuzz: deps
	sh scripts/run-fuzz $(FUZZ_SECONDS)

install: all
	$(CMAKE) --install build/release --prefix "$(PREFIX)"

uninstall:
	rm -f "$(DESTDIR)$(PREFIX)/bin/wirrtex" "$(DESTDIR)$(PREFIX)/share/man/man1/wirrtex.1"

clean:
	rm -rf build
