#!/usr/bin/env bash
# sfxpack installed into a DESTDIR and run from there with no --loader, then
# packaged: the package's files, its dependencies, the manual page.
#   install_check.sh BUILD_DIR STUB.exe (a 64-bit program)
set -uo pipefail
build=$(realpath "$1") stub=$(realpath "$2")
top=$(mktemp -d) && trap 'rm -rf "$top"' EXIT
cd "$top" || exit 1
failed=0
bad() { echo "FAIL: $*" >&2; failed=1; }
DESTDIR=$top/root cmake --install "$build" --prefix /usr > /dev/null || bad "cmake --install"
usr=$top/root/usr
SFXPACK_LOADER='' "$usr/bin/sfxpack" pack "$stub" -o packed.exe 2> err || bad "pack with the installed loader: $(cat err)"
grep -q 'warning: .*64-bit program' err || bad "no warning for a 64-bit stub in the 32-bit loader: $(cat err)"
code() { x86_64-w64-mingw32-objcopy -O binary -j .text "$1" /dev/stdout | md5sum; }
[ "$(code packed.exe)" = "$(code "$usr/share/sfxpack/loader.exe")" ] || bad "packed.exe does not start with the installed loader"
# The installed extractors: the 32-bit one by default, the 64-bit one with a warning.
mkdir dir && cp "$stub" dir/app.exe
SFXPACK_LOADER='' SFXPACK_EXTRACTOR='' "$usr/bin/sfxpack" bundle dir -o b32.exe --run app.exe 2> err && [ ! -s err ] ||
  bad "bundle with the installed extractor: $(cat err)"
SFXPACK_LOADER='' "$usr/bin/sfxpack" bundle dir -o b64.exe --run app.exe --extractor "$usr/share/sfxpack/extractor-x64.exe" \
  2> err && grep -q 'warning: .*64-bit program' err || bad "no warning for a 64-bit extractor: $(cat err)"
(cd "$build" && cpack -B "$top/deb" > "$top/cpack.log" 2>&1) || bad "cpack: $(cat "$top/cpack.log")"
deb=$(echo "$top"/deb/sfxpack_*_amd64.deb) && listing=$(dpkg-deb -c "$deb")
for file in bin/sfxpack share/sfxpack/loader.exe share/sfxpack/loader-x64.exe include/sfx_package.h \
  share/sfxpack/extractor.exe share/sfxpack/extractor-x64.exe share/man/man1/sfxpack.1; do
  grep -q " \./usr/$file\$" <<< "$listing" || bad "$file is not in $deb"
done
depends=$(dpkg-deb -f "$deb" Depends)
[ -n "$depends" ] && ! tr ',' '\n' <<< "$depends" | grep -qv 'libc6\|libgcc-s1\|libstdc++6\|libarchive13\|liblzma5' || bad "Depends: $depends"
man -l "$usr/share/man/man1/sfxpack.1" 2> /dev/null > page
grep -q 'EXIT STATUS' page && grep -q EXAMPLES page && grep -q SFX_ORIGIN page && ! grep -q 'PREFIX/\|sfxpack: build' page ||
  bad "the manual page: $(head -c 300 page)"
exit $failed
