# Build and test entry points. Everything runs inside .venv (Python 3.12),
# which is created and filled from PyPI on first use.
VENV := .venv
PYTHON := $(VENV)/bin/python
BUILD_STAMP := $(VENV)/.requirements-installed
SANITIZE_SITE := build/sanitize-site

.PHONY: demo test bench sanitize build clean

demo: build
	$(PYTHON) examples/quickstart.py

test: build
	$(PYTHON) -m pytest -q

bench: build
	@for script in bench/bench_*.py; do echo "== $$script"; $(PYTHON) $$script || exit 1; done

$(PYTHON):
	@python312=$$(scripts/find-python312) && "$$python312" -m venv $(VENV)

$(BUILD_STAMP): requirements-dev.txt | $(PYTHON)
	$(PYTHON) -m pip install --quiet --upgrade pip
	$(PYTHON) -m pip install --quiet -r requirements-dev.txt
	@touch $@

# The build directory persists, so re-running after an edit recompiles only
# what changed.
build: $(BUILD_STAMP)
	$(PYTHON) -m pip install --quiet --no-build-isolation --no-deps .

# The whole suite against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer, installed beside (not over) the normal build.
sanitize: $(BUILD_STAMP)
	$(PYTHON) -m pip install --quiet --no-build-isolation --no-deps --upgrade --target $(SANITIZE_SITE) \
		-Cbuild-dir=build/sanitize -Ccmake.define.TANDRIL_SANITIZE=ON -Ccmake.build-type=Debug .
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
		ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		PYTHONPATH=$(SANITIZE_SITE) $(PYTHON) -m pytest -q -p no:cacheprovider

clean:
	rm -rf build $(VENV)
