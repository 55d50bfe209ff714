# Release build through CMake, for scripts and testing frameworks that expect `make`:
#   make                     builds ./tarnvik
#   make EXE=/path/to/name   builds the engine at that path
#   make JOBS=8              compiles with 8 jobs (default 2)
# The CMake build (build/, build-test/) is unaffected: this one lives in $(BUILD_DIR).
EXE ?= tarnvik
BUILD_DIR ?= build-make
JOBS ?= 2
CMAKE ?= cmake

.PHONY: all clean
all: $(BUILD_DIR)/CMakeCache.txt
	$(CMAKE) --build $(BUILD_DIR) --target tarnvik -j $(JOBS)
	cp $(BUILD_DIR)/tarnvik "$(EXE)"

# Configured once; later builds re-run CMake by themselves when the project files change.
$(BUILD_DIR)/CMakeCache.txt:
	$(CMAKE) -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release -DTARNVIK_TESTS=OFF

clean:
	rm -rf $(BUILD_DIR)
