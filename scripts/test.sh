#!/usr/bin/env bash
# Every test: the C++ unit tests through CTest, then the Python tests.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
source .venv/bin/activate
cmake -S . -B build/cpp -G Ninja -DZELKI_BUILD_TESTS=ON -DZELKI_WERROR=ON >/dev/null
cmake --build build/cpp
ctest --test-dir build/cpp --output-on-failure -j2 | tail -n 3
pytest -q tests/python
