#!/usr/bin/env bash
# Builds sfxpack and the loader of an earlier commit for make bench to compare
# against: build_base.sh COMMIT OUT_DIR JOBS. Prints the folder that holds
# them; a commit already built is reused.
set -euo pipefail
commit=$(git rev-parse --verify "$1^{commit}") out=$2 jobs=${3:-2}
top=$(git rev-parse --show-toplevel)
dir=$(realpath -m "$out/${commit:0:12}")
arch=x86_64
bash "$top/scripts/runs-32bit.sh" --wine > /dev/null 2>&1 && arch=i686
if [ ! -x "$dir/sfxpack" ] || [ ! -f "$dir/loader.exe" ]; then
  rm -rf "$dir" && mkdir -p "$dir/src"
  git -C "$top" archive "$commit" | tar -x -C "$dir/src"
  {
    cmake -S "$dir/src" -B "$dir/native" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DSFX_BENCHMARKS=OFF
    cmake --build "$dir/native" -j "$jobs" --target sfxpack
    cmake -S "$dir/src" -B "$dir/windows" -DCMAKE_TOOLCHAIN_FILE="$dir/src/cmake/mingw-$arch.cmake" \
      -DCMAKE_BUILD_TYPE=Release
    cmake --build "$dir/windows" -j "$jobs" --target loader
  } > "$dir/build.log" 2>&1 || { echo "building $commit failed, see $dir/build.log" >&2; exit 1; }
  cp "$dir/native/sfxpack" "$dir/windows/loader.exe" "$dir/"
  git -C "$top" log -1 --format='%h %s' "$commit" > "$dir/commit.txt"
fi
echo "$dir"
