#!/usr/bin/env bash
# build.sh [--target NAME]... [normal|asan|fuzz]...: configures and builds the
# named builds (default: normal) in build/, build-asan/ and build-fuzz/; with
# --target only the named targets (and what they need) are built.
set -euo pipefail
cd "$(dirname "$0")/.."
werror=OFF
[ "${CI:-}" = true ] && werror=ON
targets=()
kinds=()
while [ $# -gt 0 ]; do
  case "$1" in
    --target) [ $# -ge 2 ] || { echo "build.sh: --target needs a name" >&2; exit 2; }
              targets+=(--target "$2"); shift 2 ;;
    --target=*) targets+=(--target "${1#--target=}"); shift ;;
    *) kinds+=("$1"); shift ;;
  esac
done
[ ${#kinds[@]} -eq 0 ] && kinds=(normal)
for kind in "${kinds[@]}"; do
  case "$kind" in
    normal) dir=build; flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
    asan)   dir=build-asan; flags=(-DCMAKE_BUILD_TYPE=Debug -DNUVAK_SANITIZE=ON) ;;
    fuzz)   dir=build-fuzz; flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DNUVAK_FUZZ=ON
                                   -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
    *) echo "build.sh: unknown build '$kind' (normal, asan or fuzz)" >&2; exit 2 ;;
  esac
  cmake -S . -B "$dir" -G Ninja -DNUVAK_WERROR=$werror "${flags[@]}" >/dev/null
  cmake --build "$dir" "${targets[@]}"
done
