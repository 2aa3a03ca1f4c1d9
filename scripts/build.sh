#!/usr/bin/env bash
# build.sh [normal|asan|fuzz]...: configures and builds the named builds
# (default: normal) in build/, build-asan/ and build-fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
werror=OFF
[ "${CI:-}" = true ] && werror=ON
[ $# -eq 0 ] && set -- normal
for kind in "$@"; do
  case "$kind" in
    normal) dir=build; flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
    asan)   dir=build-asan; flags=(-DCMAKE_BUILD_TYPE=Debug -DNUVAK_SANITIZE=ON) ;;
    fuzz)   dir=build-fuzz; flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DNUVAK_FUZZ=ON
                                   -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
    *) echo "build.sh: unknown build '$kind' (normal, asan or fuzz)" >&2; exit 2 ;;
  esac
  cmake -S . -B "$dir" -G Ninja -DNUVAK_WERROR=$werror "${flags[@]}" >/dev/null
  cmake --build "$dir"
done
