#!/usr/bin/env bash
# Every test: the C++ unit tests through CTest, then the Python tests.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
source .venv/bin/activate
cmake -S . -B build/cpp -G Ninja -DZELKI_BUILD_TESTS=ON -DZELKI_WERROR=ON >/dev/null
cmake --build build/cpp
# The full log is printed only when a test fails.
if ! ctest --test-dir build/cpp --output-on-failure -j2 >build/cpp/ctest.log 2>&1; then
  cat build/cpp/ctest.log
  exit 1
fi
tail -n 3 build/cpp/ctest.log
pytest -q tests/python
