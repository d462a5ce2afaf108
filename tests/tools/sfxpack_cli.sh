#!/usr/bin/env bash
# sfxpack as its users run it, a table per concern:
#   sfxpack_cli.sh SFXPACK LOADER.exe STUB.exe HOSTILE_BUNDLE EXTRACTOR.exe IDENTITY_STUB.exe
# The stub must be a PE file whose image reaches beyond offset 32768, and
# have no resources; the identity stub has an icon, version information and
# a manifest.
# SFXPACK_RUNNER (valgrind, say) may wrap the tool.
set -uo pipefail
sfxpack=$(realpath "$1") loader_file=$(realpath "$2") stub_file=$(realpath "$3") hostile=$(realpath "$4") extractor_file=$(realpath "$5")
identity_file=$(realpath "$6")
top=$(mktemp -d) && trap 'chmod -R u+rwx "$top"; rm -rf "$top"' EXIT
mkdir "$top/w" && cd "$top/w" || exit 1
failed=0
bad() { echo "FAIL: $*" >&2; failed=1; }
run() { ${SFXPACK_RUNNER:-} "$sfxpack" "$@" > "$top/out" 2> "$top/err"; }
folder() { find . -printf '%p %y %m\n' | sort; find . -type f -readable -exec md5sum {} + | sort; }
hex() { printf "$(sed 's/../\\x&/g' <<< "$1")"; }
crc() { gzip -c | tail -c 8 | od -An -tx4 -N4 | tr -d ' '; } # gzip's own CRC-32 of its input
u32() { od -An -tx4 -j "$2" -N4 "$1" | tr -d ' '; }
put() { printf "$1" | dd of="$2" bs=1 seek="$3" conv=notrunc status=none; }
flip() { put "\\x$(printf %02x $(($(od -An -tu1 -j "$2" -N1 "$1") ^ $3)))" "$1" "$2"; }

# expect CODE TEXT ARGS...: sfxpack ARGS exits with CODE and says TEXT on stderr;
# a refusal (1) says so in one line and leaves the folder exactly as it was.
expect() {
  local code=$1 text=$2 before got
  shift 2
  before=$(folder)
  run "$@"
  got=$?
  local what="sfxpack $* (exit $got): $(head -c 300 "$top/err")"
  [ "$got" = "$code" ] || bad "want exit $code: $what"
  [ -z "$text" ] || grep -qF -- "$text" "$top/err" || bad "stderr lacks '$text': $what"
  if [ "$code" = 1 ]; then
    [ "$(wc -l < "$top/err")" = 1 ] || bad "not one line: $what"
    [ "$(folder)" = "$before" ] || bad "changed the folder: $what"
  fi
}

cp "$loader_file" loader.exe
cp "$stub_file" stub.exe
cp "$extractor_file" extractor.exe
stub_size=$(stat -c %s stub.exe)
code() { x86_64-w64-mingw32-objcopy -O binary -j .text "$1" /dev/stdout | md5sum; }

# --- payloads: decoded exactly, or refused with the reason ---
echo keep > out.bin
for row in 0300000098431063:abc 0800000098482c00:aaaaaaaa 0900000098431063e09200:abcabcabc \
  03000000984310:truncated 03:truncated 0300:truncated 030000:truncated 02000000984308:malformed; do
  hex "${row%:*}" > in.payload
  if [ "${row#*:}" = truncated ] || [ "${row#*:}" = malformed ]; then
    expect 1 "${row#*:}" decode -f in.payload -o out.bin
  else
    expect 0 '' decode -f in.payload -o kept.bin
    [ "$(cat kept.bin)" = "${row#*:}" ] || bad "${row%:*} decodes to '$(cat kept.bin)'"
  fi
done
rm -f in.payload out.bin kept.bin

# --- pack, unpack and info on a real loader ---
head -c 5000 stub.exe > small.bin
expect 0 '' encode small.bin -o small.payload
printf EXTRA > extra.bin
for level in 1 6 9; do
  expect 0 '' pack -f stub.exe -o packed.exe --loader loader.exe -l $level
  [ "$(code packed.exe)" = "$(code loader.exe)" ] || bad "level $level: the loader is not at the start"
  image_size=$(run info --json packed.exe && jq .loader_image_size "$top/out")
  cmp -s -n $((32728 - image_size)) -i "$image_size:0" packed.exe /dev/zero ||
    bad "level $level: not zeros up to the package record"
  expect 0 '' unpack -f packed.exe -o unpacked.exe
  cmp -s stub.exe unpacked.exe || bad "level $level: unpacked is not the stub"
done
expect 0 '' pack small.bin -o appended.exe --loader loader.exe --append extra.bin
coded=$(stat -c %s small.payload)
[ "$(tail -c +32769 appended.exe | head -c "$coded" | md5sum)" = "$(md5sum < small.payload)" ] ||
  bad "the payload is not at 32768"
[ "$(tail -c 5 appended.exe)" = EXTRA ] || bad "appended data is not last"
expect 0 '' info appended.exe
printf '%-18s %s\n' file: appended.exe kind: 'packed executable' file_size: $((32768 + coded + 5)) \
  loader_image_size: "$image_size" payload_offset: 32768 count: 5000 coded_size: "$coded" \
  ratio: "$(awk "BEGIN { printf \"%.4f\", $coded / 5000 }")" record: yes record_version: 2 flags: none stub_crc32: "$(crc < small.bin)" \
  appended_offset: $((32768 + coded)) appended_size: 5 appended_crc32: "$(crc < extra.bin)" signature_size: 0 \
  decodes_cleanly: yes icon: '48x48@4, 48x48@8, 48x48@32, 32x32@4, 32x32@8, 32x32@32, 16x16@4, 16x16@8, 16x16@32' \
  file_version: - version_strings: - execution_level: asInvoker verified: yes | diff - "$top/out" >&2 || bad "info of a packed file"
expect 0 '' info small.payload
grep -qx 'kind: *bare payload' "$top/out" || bad "info of a bare payload: $(cat "$top/out")"
${SFXPACK_RUNNER:-} "$sfxpack" encode - -o - < stub.exe | ${SFXPACK_RUNNER:-} "$sfxpack" decode - -o piped.exe ||
  bad "encode - | decode - failed"
cmp -s stub.exe piped.exe || bad "encode - | decode - changed the data"
rm -f unpacked.exe piped.exe

# --- the package record: its layout, and damage anywhere it covers ---
[ "$(printf 123456789 | crc)" = cbf43926 ] || bad "the reference CRC-32 is not zlib's"
record() { tail -c +$(($2 + 1)) "$1" | head -c $((32764 - $2)); } # FILE START: the bytes the check covers
fields=$(for at in $(seq 32728 4 32760); do u32 appended.exe $at; done | tr '\n' ' ')
want="52584653 00280002 $(printf %08x 5000) $(crc < small.bin) $(printf %08x "$coded") $(crc < small.payload) "
want="$want$(printf %08x 5) $(crc < extra.bin) 00000000 "
[ "$fields" = "$want" ] || bad "record fields $fields, want $want"
[ "$(u32 appended.exe 32764)" = "$(record appended.exe 32728 | crc)" ] || bad "the record's own check value"
reseal() { put "$(record "$1" "${2:-32728}" | crc | sed 's/\(..\)\(..\)\(..\)\(..\)/\\x\4\\x\3\\x\2\\x\1/')" "$1" 32764; }
# A version-1 record: the same fields from 32732, without the flags.
version1() {
  local fields; fields=$(od -An -tx1 -j 32736 -N 24 "$1" | tr -d ' \n')
  dd if=/dev/zero of="$1" bs=1 seek=32728 count=36 conv=notrunc status=none
  put 'SFXR\x01\x00\x24\x00' "$1" 32732 && hex "$fields" | dd of="$1" bs=1 seek=32740 conv=notrunc status=none
  reseal "$1" 32732
}
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=sfxpack test" -keyout key.pem -out cert.pem \
  -addext keyUsage=digitalSignature -addext extendedKeyUsage=codeSigning 2>/dev/null
osslsigncode sign -certs cert.pem -key key.pem -in appended.exe -out signed.exe > /dev/null || bad "signing failed"
rm -f key.pem cert.pem
# name|how the file is spoilt|what test and unpack say|whether info finds a record
while IFS='|' read -r name spoil problem record; do
  cp appended.exe case.exe
  eval "$spoil"
  if [ -z "$problem" ]; then
    expect 0 '' test case.exe
    expect 0 '' unpack case.exe -o out.exe
    cmp -s out.exe small.bin || bad "$name: unpacked is not the stub"
    rm -f out.exe
  else
    expect 1 "case.exe: $problem" test case.exe
    cp "$top/err" "$top/test.err"
    expect 1 "case.exe: $problem" unpack case.exe -o out.exe
    cmp -s "$top/err" "$top/test.err" || bad "$name: test and unpack say different things"
  fi
  verified=$([ -z "$problem" ] && [ "$record" = true ] && echo true || echo false)
  run info --json case.exe
  grep -q "\"record\": $record," "$top/out" && grep -q "\"verified\": $verified" "$top/out" ||
    bad "$name: info says $(cat "$top/out")"
done <<'ROWS'
intact|||true
signed|cp signed.exe case.exe||true
packed before records|dd if=/dev/zero of=case.exe bs=1 seek=32728 count=40 conv=notrunc status=none||false
version-1 record|version1 case.exe||true
record's own check|flip case.exe 32741 1|the package record is damaged|false
newer record|put '\x03' case.exe 32732; reseal case.exe|the package record is damaged (or|false
cut short|truncate -s -1 case.exe|the file is cut short|true
payload|flip case.exe 32868 4|the payload does not match its CRC-32|true
appended data|flip case.exe $(($(stat -c %s case.exe) - 1)) 1|the appended data does not match its CRC-32|true
stub's CRC-32|flip case.exe 32740 1; reseal case.exe|the unpacked stub does not match|true
ROWS
run info --json signed.exe
grep -q '"appended_size": 5,' "$top/out" && grep -q '^  "format_version": 1,' "$top/out" &&
  ! grep -q '"signature_size": 0,' "$top/out" ||
  bad "info of a signed file: $(cat "$top/out")"
# Single-bit flips, every one refused: the count header's bits, bits spread
# over the payload and the appended data, and the payload's last (padding) bit.
end=$(stat -c %s appended.exe)
bits="$((32768 * 8)) $((32768 * 8 + 13)) $((32768 * 8 + 31)) $(((32768 + coded) * 8 - 1))"
for i in $(seq 0 23); do bits="$bits $((32772 * 8 + (end * 8 - 1 - 32772 * 8) * i / 23))"; done
for bit in $bits; do
  cp appended.exe case.exe
  flip case.exe $((bit / 8)) $((0x80 >> bit % 8))
  expect 1 case.exe test case.exe
  expect 1 case.exe unpack case.exe -o out.exe
done
rm -f case.exe signed.exe

# --- loaders that cannot carry a payload ---
printf hello > text.txt
{ printf A; tail -c +2 loader.exe; } > no-mz.exe
pe=$(od -An -tu4 -j 60 -N 4 loader.exe | tr -d ' ')
head -c $((pe + 22)) loader.exe > short.exe # the signature, not all of the header after it
head -c $((pe + 30)) loader.exe > cut-optional.exe
cp loader.exe many-sections.exe
printf '\xff\xff' | dd of=many-sections.exe bs=1 seek=$((pe + 6)) conv=notrunc status=none
for row in stub.exe:'beyond offset 32768' packed.exe:'already packed' text.txt:'not a PE executable' \
  no-mz.exe:'no MZ header' short.exe:'no PE signature' cut-optional.exe:'optional header' \
  many-sections.exe:'section table cut short' missing.exe:'cannot open'; do
  expect 1 "${row#*:}" pack stub.exe -o out.exe --loader "${row%%:*}"
done
for row in text.txt:'not a PE executable (no MZ header); use -f' packed.exe:'already a packed executable; use -f'; do
  expect 1 "${row#*:}" pack "${row%%:*}" -o out.exe --loader loader.exe
done
expect 0 'sfxpack: loader loader.exe' -v pack -f packed.exe -o out.exe --loader loader.exe
# The build tree's loader is the default only where not anyone may replace it.
mkdir -p tree/native tree/win32 && cp "$sfxpack" tree/native/ && cp loader.exe tree/win32/ && chmod 0777 tree/win32
(sfxpack=$PWD/tree/native/sfxpack && unset SFXPACK_LOADER
  expect 1 'tree/win32/loader.exe: not used as the default: its folder may be written by anyone' pack stub.exe -o tree.exe
  chmod 0755 tree/win32 && expect 0 '' pack -f packed.exe -o tree.exe && exit $failed) || failed=1
rm -rf tree tree.exe
expect 1 "use 'sfxpack unpack'" decode packed.exe -o out.bin
rm -f text.txt no-mz.exe short.exe cut-optional.exe many-sections.exe out.exe

# --- files without a good payload: empty, folders, unreadable, cut anywhere ---
: > empty
mkdir folder
inputs="empty folder /proc/self/mem loader.exe" # /proc/self/mem fails with EIO
if [ "$(id -u)" != 0 ]; then
  printf abcd > locked && chmod 0 locked && inputs="$inputs locked"
fi
for input in $inputs; do
  for command in "decode $input -o out" "unpack $input -o out" "info $input" "info --json $input"; do
    expect 1 "$input" $command
  done
done
size=$(stat -c %s packed.exe)
for cut in 0 1 63 64 300 4096 32767 32768 32769 32770 32771 32772 32773 $(((32768 + size) / 2)) $((size - 1)); do
  head -c $cut packed.exe > cut.exe
  expect 1 cut.exe unpack cut.exe -o out.exe
  expect 1 cut.exe info cut.exe
done
expect 1 cut.exe info --json cut.exe
grep -q '"decodes_cleanly": false' "$top/out" || bad "info --json of a cut file: $(cat "$top/out")"
rm -f cut.exe

# --- decode, unpack and test read the payload where it lies: 8 MB more cost no memory ---
if [ -z "${SFXPACK_RUNNER:-}" ]; then
  head -c 8000000 /dev/urandom > big.bin
  "$sfxpack" -q -f pack big.bin -o big.exe --loader loader.exe -l 1 && tail -c +32769 big.exe > big.payload
  cp appended.exe small.exe
  peak() { /usr/bin/time -f %M "$sfxpack" -q -f "$@" 2>&1 > /dev/null | tail -1; }
  for command in "decode @.payload -o out.bin" "unpack @.exe -o out.bin" "test @.exe"; do
    grow=$(($(peak ${command//@/big}) - $(peak ${command//@/small}))) && [ "$grow" -lt 2000 ] ||
      bad "$command: $grow KB more for 8 MB more"
  done
  rm -f big.bin big.exe big.payload small.exe out.bin
fi

# --- outputs it must not or cannot write ---
ln small.payload hard.payload
ln -s packed.exe link.exe
readonly_dir=/proc # root may write anywhere else
if [ "$(id -u)" != 0 ]; then
  mkdir ro && chmod 0555 ro && readonly_dir=ro
fi
for command in "decode small.payload -o small.payload" "decode small.payload -o ./small.payload" \
  "decode small.payload -o hard.payload" "encode small.payload -o hard.payload" "unpack packed.exe -o link.exe" \
  "pack small.payload --loader loader.exe -o small.payload" "pack small.payload --loader link.exe -o packed.exe"; do
  expect 1 'overwrite the input' $command
done
expect 1 'is a directory' decode small.payload -o folder
for output in missing/out.bin $readonly_dir/out.bin; do
  expect 1 "$output" decode small.payload -o $output
  expect 1 "$output" encode small.bin -o $output
done
timeout 60 ${SFXPACK_RUNNER:-} "$sfxpack" -q decode small.payload -o - > /dev/full 2> "$top/err"
[ $? = 1 ] && [ "$(wc -l < "$top/err")" = 1 ] || bad "a full device: $(cat "$top/err")"

# Existing outputs: refused without -f; with it a regular file is replaced
# keeping its mode and hard links, a symbolic link stays one, a FIFO is written through.
echo old > mode.bin && chmod 640 mode.bin && echo old > linked.bin && ln linked.bin twin.bin && ln -s mode.bin sym.bin
for command in "decode small.payload" "encode small.bin" "unpack packed.exe" "pack stub.exe --loader loader.exe"; do
  expect 1 'mode.bin: exists; use -f to overwrite' $command -o mode.bin
done
for output in mode.bin linked.bin sym.bin; do
  expect 0 '' decode -f small.payload -o $output
  cmp -s small.bin $output || bad "decode -f -o $output"
done
[ "$(stat -c %a mode.bin)$(stat -c %h linked.bin)" = 6402 ] && cmp -s small.bin twin.bin && [ -L sym.bin ] ||
  bad "-f over existing files: $(ls -l)"
mkfifo fifo && { timeout 60 cat fifo > from-fifo & }
expect 0 '' decode small.payload -o fifo
wait && [ -p fifo ] && cmp -s small.bin from-fifo || bad "decode into a FIFO"
chmod 750 packed.exe && expect 0 '' unpack packed.exe -o mode.exe
[ "$(stat -c %a mode.exe)" = 750 ] || bad "unpacked $(stat -c %a mode.exe) from a 0750 file"
script -qec "'$sfxpack' decode small.payload -c" /dev/null > "$top/tty"
grep -q 'is a terminal; use -f' "$top/tty" || bad "binary to a terminal: $(cat "$top/tty")"
rm -f mode.bin linked.bin twin.bin sym.bin fifo from-fifo mode.exe
# A signal ends a large decode as it would have, and the temporary file goes
# with it; 300M is 300 MiB, or the decode would stop before writing. The
# signals start at their defaults, however this script was started (nohup, &).
"$sfxpack" encode -1 - -o zeros.payload < <(head -c 300M /dev/zero)
for signal in INT TERM HUP; do
  set -m && { env --default-signal=INT,TERM,HUP ${SFXPACK_RUNNER:-} "$sfxpack" decode zeros.payload -o zeros --max-size 300M 2> /dev/null & } && set +m
  until compgen -G 'zeros.??????' > /dev/null || ! kill -0 $! 2> /dev/null; do sleep 0.01; done
  kill -$signal $! && { wait $!; } 2> /dev/null
  [ $? = $((128 + $(kill -l $signal))) ] && [ "$(ls zeros*)" = zeros.payload ] || bad "SIG$signal left $(ls zeros*)"
  rm -f zeros.??????
done
# The progress bar fits the terminal.
head -c 8M /dev/zero > bar.bin
for row in "40:bar.bin \\[.*MiB / 8.0 MiB\$" "100:bar.bin \\[.*MiB / 8.0 MiB .*/s"; do
  script -qec "stty cols ${row%%:*}; ${SFXPACK_RUNNER:-} '$sfxpack' encode -1f bar.bin -o bar.payload" /dev/null |
    tr '\r' '\n' | sed 's/\x1b\[K//g' > "$top/bar"
  grep -q "${row#*:}" "$top/bar" && ! grep -q ".\{${row%%:*}\}" "$top/bar" || bad "progress in $row: $(cat "$top/bar")"
done
rm -f zeros zeros.payload bar.bin bar.payload

# --- --max-size refuses before writing anything ---
cp small.payload lying.payload
printf '\x7f' | dd of=lying.payload bs=1 seek=3 conv=notrunc status=none
echo old > out.bin
for command in "decode small.payload -o out.bin --max-size 4999" "unpack appended.exe -o out.bin --max-size 4999" \
  "decode lying.payload -o out.bin" "decode small.payload -o out.bin --max-size 4k"; do
  expect 1 --max-size $command
done
expect 0 '' decode -f small.payload -o out.bin --max-size 5000
cmp -s small.bin out.bin || bad "decode with --max-size 5000"
expect 0 '' decode --help
grep -q -- '--max-size.*512 MiB' "$top/out" && grep -q -- '-q,--quiet' "$top/out" || bad "decode --help: $(cat "$top/out")"

# --- usage ---
for command in --help help "help bundle" "bundle --help"; do
  expect 0 '' $command
  grep -q 'decode\|--follow' "$top/out" && ! grep -q 'TEXT\|REQUIRED\|INT' "$top/out" || bad "$command: $(cat "$top/out")"
done
for flag in --version -V; do
  expect 0 '' $flag
  grep -q '^sfxpack ' "$top/out" || bad "$flag: $(cat "$top/out")"
done
# gzip's level flags and -c; -v's one line
for row in "-9:-l 9" "--best:-l 9" "--fast:-l 1" "-1:-l 1" "-l 1 -9:-l 9"; do
  run encode -f ${row%%:*} small.bin -o a.payload && run encode ${row#*:} small.bin -c && cmp -s a.payload "$top/out" ||
    bad "encode $row"
done
! run encode --fast small.bin -c | cmp -s a.payload || bad "level 1 and 9 made the same payload"
expect 0 'sfxpack: small.bin: 5000 bytes -> ' encode -v -f small.bin -o a.payload
[ "$(wc -l < "$top/err")" = 1 ] || bad "-v: $(cat "$top/err")"
while IFS='|' read -r command text; do
  expect 2 "$text" $command
done <<'ROWS'
bogus|sfxpack: error: unknown command 'bogus'
decode small.payload -o x --bogus|unknown option '--bogus'
decode small.payload -o x extra|unexpected argument 'extra'
decode small.payload|an output is required
decode small.payload -o x -c|-o and -c both
pack - --append - -o x.exe|read only once
decode small.payload -o x --max-size 0|more than 0
decode small.payload -o x --max-size -1|not a size
decode small.payload -o x --max-size 5X|not a size
encode small.bin -o x -o y|--output is given more than once
encode small.bin -o x -l abc|'abc' is not a level: 1 (fastest) to 9
help nope|unknown command 'nope'
ROWS
for command in "" decode "decode a b -o c" frobnicate "encode small.bin -o x -l 0" "encode small.bin -o x -l 10" \
  "pack stub.exe"; do
  expect 2 '' $command
done
# --- bundle, list, extract: a folder and its command; archives refused whole ---
mkdir -p app/sub/Grüße app/empty-folder
cp stub.exe app/setup.exe && : > app/empty && seq 1 50000 > app/sub/big.txt && echo x > app/sub/Grüße/Ärger.txt
tools=(--loader loader.exe --extractor extractor.exe)
expect 0 '' bundle app -o app.exe --run '"setup.exe" /quiet "two words"' --title 'My App' -1 "${tools[@]}"
expect 0 '' list app.exe
diff <(sed 's/^[-d][-rwx]\{9\}  [0-9-]\{10\} [0-9:]\{5\} *//; s/, lc=3 lp=0 pb=2, dictionary [0-9]* KiB$//' "$top/out") - <<LIST || bad "list app.exe"
kind: command
command: "setup.exe" /quiet "two words"
title: My App
target: - (a folder beside the file, named after it)
waits for: the command and all it starts
program: setup.exe (in the folder)
codec: LZMA2 with split x86-64 conversion
-  empty-folder/
-  sub/
-  sub/Grüße/
0  empty
$(stat -c %s stub.exe)  setup.exe
2  sub/Grüße/Ärger.txt
$(stat -c %s app/sub/big.txt)  sub/big.txt
4 files, 3 folders, $(cat app/setup.exe app/sub/big.txt | wc -c | awk '{print $1 + 2}') bytes
LIST
expect 0 '' list --json app.exe
[ "$(jq -c '[.format_version, .title, .codec, .files, .folders, (.entries[5] | del(.mtime))]' "$top/out")" = \
  '[1,"My App","lzma2",4,3,{"name":"sub/Grüße/Ärger.txt","type":"file","size":2,"mode":"0644"}]' ] ||
  bad "list --json: $(head -c 300 "$top/out")"
chmod 740 app/sub/big.txt && chmod 700 app/sub && touch -d @1000000000 app/empty app/sub/Grüße
expect 0 'sfxpack: loader loader.exe, extractor extractor.exe' -v bundle app -o app.exe -f --run setup.exe "${tools[@]}"
run list app.exe && grep -q '^drwxr-xr-x  [0-9: -]\{16\} *-  sub/$' "$top/out" &&
  grep -q '^-rw-r--r--  2001-09-09 01:46 *0  empty$' "$top/out" || bad "list's modes and times: $(cat "$top/out")"
run list --json app.exe && [ "$(jq -c '.entries[] | select(.name == "sub/big.txt") | [.mode, .mtime > 0]' "$top/out")" = '["0755",true]' ] ||
  bad "list --json's modes and times: $(cat "$top/out")"
expect 0 "-> out: $(cat app/setup.exe app/sub/big.txt | wc -c | awk '{print $1 + 2}') bytes" -v extract app.exe -C out
diff -r app out > /dev/null && [ -d out/empty-folder ] || bad "extract: $(diff -r app out)"
stamps() { (cd "$1" && find . -mindepth 1 -exec stat -c '%n %a %Y' {} + | sort); }
chmod 755 app/sub/big.txt app/sub # as bundled: 0755 for folders and the owner's programs, else 0644
[ "$(stamps app)" = "$(stamps out)" ] || bad "extract's modes and times: $(diff <(stamps app) <(stamps out))"
expect 1 'out/empty: exists; use -f' extract app.exe -C out
expect 0 '' -f extract app.exe -C out
rm -rf out
# An archive: no command, a target; list, info and test read it.
expect 0 '' bundle app -o arc.exe --target '%TEMP%\Fotos' "${tools[@]}"
run list --json arc.exe && [ "$(jq -c '[.kind, .command, .target, .program]' "$top/out")" = '["archive",null,"%TEMP%\\Fotos",null]' ] ||
  bad "list --json of an archive: $(head -c 300 "$top/out")"
expect 0 '' test arc.exe && run info arc.exe && grep -qx 'bundle_kind: *archive' "$top/out" && grep -qx 'bundle_version: *9' "$top/out" ||
  bad "info of an archive: $(cat "$top/out")"
# Waiting for the command alone.
expect 0 '' bundle -f app -o arc.exe --run setup.exe --wait command "${tools[@]}"
run info --json arc.exe && [ "$(jq -c '[.bundle_version, .wait]' "$top/out")" = '[9,"command"]' ] || bad "--wait command: $(cat "$top/out")"
rm -f arc.exe
# refused folders and commands: CASE|TEXT|what is made in a copy of the folder
while IFS='|' read -r text setup; do
  rm -rf bad && mkdir bad && cp stub.exe bad/run.exe && (cd bad && eval "$setup")
  expect 1 "$text" bundle bad -o bad.exe --run run.exe "${tools[@]}"
done <<'ROWS'
a symbolic link|ln -s run.exe link.exe
a special file|mkfifo pipe
a reserved device name|mkdir x && : > x/aux.txt
a ':'|: > ab:c
bad/Run.EXE and bad/run.exe: two entries with this name|: > Run.EXE
a file and a folder with this name|mkdir -p RUN.EXE/x
a component ending in|: > "x."
not valid UTF-8|: > $'\xff'
bad: 3 entries cannot go into a bundle: bad/a:b: Windows cannot take this name: a ':' (an alternate data stream); |: > a:b && : > c. && ln -s x y
ROWS
# Unreadable entries, named with the rest; root reads anything, so as root
# the scan runs as the unprivileged uid 65534.
rm -rf bad && mkdir -p bad/shut bad/dim && cp stub.exe bad/run.exe && touch bad/a:b bad/locked bad/dim/f
chmod 0 bad/locked bad/shut && chmod 0444 bad/dim
unprivileged=$([ "$(id -u)" = 0 ] && echo "setpriv --reuid=65534 --regid=65534 --clear-groups") && chmod 0711 "$top"
# A runner (valgrind) opens the tool as that uid: a copy it can reach, wherever the build tree is.
tool=$sfxpack && cp "$sfxpack" "$top/sfxpack" && sfxpack=$top/sfxpack
SFXPACK_RUNNER="$unprivileged ${SFXPACK_RUNNER:-}" expect 1 "bad/dim: cannot be read (Permission denied); \
bad/locked: cannot be read (Permission denied); bad/shut: cannot be read" bundle bad -o bad.exe --run run.exe "${tools[@]}"
grep -q '^sfxpack: error: bad: 4 entries cannot go into a bundle: bad/a:b: ' "$top/err" || bad "unreadable: $(cat "$top/err")"
sfxpack=$tool && rm "$top/sfxpack" && chmod 0700 "$top"
rm -rf bad
mkdir -p "spaced/Sub Dir" escape loop sparse && cp stub.exe "spaced/Sub Dir/app.exe"
ln -s ../stub.exe escape/run.exe && ln -s . loop/self && cp stub.exe loop/run.exe
cp stub.exe sparse/setup.exe && truncate -s 4G sparse/zeros.bin
while IFS='|' read -r text args; do
  eval "expect 1 \"\$text\" bundle $args \"\${tools[@]}\""
done <<'ROWS'
'sub/missing.exe' is not a file in the folder, nor a bare name|app -o bad.exe --run sub/missing.exe
not a Windows program (.exe or .com)|app -o bad.exe --run 'sub/big.txt /x'
did you mean 'setup.exe'|app -o bad.exe --run setup
'setpu.exe' is not a file in the folder (did you mean 'setup.exe'?), nor a known program|app -o bad.exe --run 'setpu.exe /S'
nor a known program of the Windows system folder (cmd, msiexec|app -o bad.exe --run 'wusa x.msu'
a '..' component|app -o bad.exe --run '../setup.exe'
quote is never closed|app -o bad.exe --run '"setup.exe'
quote a name with spaces: "Sub Dir/app.exe" /q|spaced -o bad.exe --run 'Sub Dir\app.exe /q'
may not lie inside the folder|app -o app/self.exe --run setup.exe
not a folder|stub.exe -o bad.exe --run setup.exe
/nonexistent: No such file or directory|/nonexistent -o bad.exe --run setup.exe
app.exe: exists; use -f|app -o app.exe --run setup.exe
more than a bundle holds|sparse -o bad.exe --run setup.exe
a symbolic link out of the folder|escape -o bad.exe --run run.exe --follow
a loop|loop -o bad.exe --run run.exe --follow
leave --run out for an archive|app -o bad.exe --run ''
the target must be a Windows folder's path|app -o bad.exe --target 'C:\a|b'
ROWS
(cd app && expect 1 'may not lie inside' bundle . -o self.exe --run setup.exe --loader ../loader.exe --extractor ../extractor.exe
  exit $failed) || failed=1
# A coded archive that cannot be written (files up to 1 MiB here), or SIGTERM while coding, stops both threads and
# leaves nothing, not even a temporary file (unless the bundle was done before the signal).
mkdir noise && cp stub.exe noise/run.exe && head -c 3M /dev/urandom > noise/noise.bin
(trap '' XFSZ && ulimit -f 1024 && expect 1 'cannot write the coded archive: File too large' bundle noise -o bad.exe \
  --run run.exe -1 -T2 "${tools[@]}"; exit $failed) || failed=1
before=$(folder); TMPDIR=$PWD ${SFXPACK_RUNNER:-} "$sfxpack" bundle noise -o bad.exe --run run.exe -9e -T2 "${tools[@]}" 2> /dev/null &
until [ -n "$(ls bad.exe.* 2> /dev/null)" ] || ! kill -0 $! 2> /dev/null; do sleep 0.01; done
kill -TERM $! 2> /dev/null; wait $!
case $?:$(folder) in 143:"$before") ;; 0:*) rm bad.exe ;; *) bad "SIGTERM while coding left: $(ls)" ;; esac
for row in "loader.exe:not an extractor" "stub.exe:not an extractor" "app/sub/big.txt:not a PE executable"; do
  expect 1 "${row#*:}" bundle app -o bad.exe --run setup.exe --loader loader.exe --extractor "${row%%:*}"
done
# --follow and --exclude; SOURCE_DATE_EPOCH: the same bytes after touch; the umask
mkdir -p links/.git links/sub/deep && cp stub.exe links/run.exe && ln -s run.exe links/alias.exe && : > links/sub/x.o
: > links/n.o && : > links/sub/deep/n.o && : > links/sub/deep/keep
SOURCE_DATE_EPOCH=1 expect 0 '' bundle links -o links.exe --run run.exe --follow --exclude .git --exclude 'sub/*.o' "${tools[@]}"
expect 0 '' list --json links.exe
[ "$(jq -r '.entries[].name' "$top/out" | sort | tr '\n' ' ')" = "alias.exe n.o run.exe sub sub/deep sub/deep/keep sub/deep/n.o " ] ||
  bad "--follow, --exclude: $(cat "$top/out")"
expect 0 "sfxpack: warning: --exclude '*.tmp' matched nothing" bundle -f links -o links2.exe --run run.exe --follow \
  --exclude .git --exclude '**/*.o' --exclude '*.tmp' "${tools[@]}"
run list --json links2.exe && [ "$(jq -r '.entries[].name' "$top/out" | sort | tr '\n' ' ')" = "alias.exe run.exe sub sub/deep sub/deep/keep " ] ||
  bad "--exclude '**/*.o': $(cat "$top/out")"
rm links2.exe
touch links/run.exe links/sub && (umask 077 && SOURCE_DATE_EPOCH=1 run bundle links -o links2.exe --run run.exe --follow \
  --exclude .git --exclude 'sub/*.o' "${tools[@]}")
cmp -s links.exe links2.exe && [ "$(stat -c %a links2.exe)" = 700 ] || bad "not the same bundle after touch, or not 0700: $(stat -c %a links2.exe)"
expect 0 '' pack stub.exe -o exec.exe --loader loader.exe
[ "$(stat -c %a exec.exe)" = "$(printf %o $((0777 & ~$(umask))))" ] || bad "pack made $(stat -c %a exec.exe)"
rm -rf links links.exe links2.exe exec.exe spaced escape loop sparse noise
# test and info read a bundle through; every command checks standard output
expect 0 '' test app.exe
expect 0 '' info app.exe
grep -qx 'bundle_version: *9' "$top/out" && grep -qx 'codec: *lzma2' "$top/out" && grep -qx 'command: *setup.exe' "$top/out" && grep -qx 'entries: *7' "$top/out" ||
  bad "info of a bundle: $(cat "$top/out")"
for command in "list app.exe" "info app.exe" "test app.exe" "--help" "-V"; do
  ${SFXPACK_RUNNER:-} "$sfxpack" $command > /dev/full 2> "$top/err"
  [ $? = 1 ] && [ "$(wc -l < "$top/err")" = 1 ] && grep -q '^sfxpack: error: <stdout>: cannot write' "$top/err" ||
    bad "$command > /dev/full: $(cat "$top/err")"
done
expect 1 'not a PE executable' bundle app -o bad.exe --run setup.exe --loader loader.exe --extractor app/sub/big.txt
expect 1 'not a bundle' list packed.exe
for command in list extract; do expect 1 'stub.exe: not a bundle (a Windows program, not packed)' $command stub.exe; done
# Programs matched as Windows would, or the system folder's; the record's flags as asked.
while IFS='|' read -r options place flags; do
  eval "expect 0 '' bundle -f app -o app.exe $options \"\${tools[@]}\""
  [ "$place" = folder ] || grep -q 'is the Windows system folder' "$top/err" || bad "$options: no warning"
  run list --json app.exe && [ "$(jq -r .program_place "$top/out")" = "$place" ] || bad "$options: $(head -c 200 "$top/out")"
  run info app.exe && grep -qx "flags: *$flags" "$top/out" || bad "$options: $(grep flags "$top/out")"
done <<'ROWS'
--run 'SETUP.EXE /q'|folder|pass-exit-code, pass-arguments
--run 'cmd /c sub\run.bat' --silent|system|pass-exit-code, pass-arguments, silent
--run 'MsiExec.exe /i x.msi /qn'|system|pass-exit-code, pass-arguments
--run 'wusa x.msu /quiet' --system-program|system|pass-exit-code, pass-arguments
ROWS
expect 1 "app.exe: the command's program 'wusa' is not a file in the bundle, nor a known" test app.exe
expect 0 '' test --system-program app.exe
run info --json app.exe && [ "$(jq -c .flags "$top/out")" = '["pass-exit-code","pass-arguments"]' ] || bad "info --json's flags: $(cat "$top/out")"
# hostile archives: nothing written anywhere, no folder made
while IFS='|' read -r case_name text; do
  "$hostile" "$case_name" loader.exe stub.exe stub.exe hostile.exe || bad "hostile_bundle $case_name"
  expect 1 "$text" extract hostile.exe -C x
  expect 1 "$text" list hostile.exe
  expect 1 "$text" test hostile.exe
  rm -f hostile.exe
done <<'ROWS'
absolute|'/tmp/absolute.txt': refused: an absolute path
drive|a drive letter
unc|'//server/share/unc.txt': refused: an absolute path
verbatim|refused: an absolute path
parent|refused: a '..' component
backslash|a character Windows does not allow
stream|a ':' (an alternate data stream)
device|'sub/Con.txt': refused: a reserved device name
symlink|'link': a link
hardlink|'link': a link
fifo|neither a file nor a folder
fold|'README.txt': refused: two entries with this name
fold-accent|two entries with this name
file-folder|'DATA/inner.txt': refused: a file and a folder
pax-parent|'../pax-parent.txt': refused: a '..' component
sparse|'sparse.bin': neither a file nor a folder
long-name|'././@LongLink': neither a file nor a folder
trailing-dot|ending in '.' or ' '
truncated|the archive is truncated
checksum|a damaged tar header
gnu-magic|a damaged tar header
pax-no-space|a damaged tar header
pax-empty-key|a damaged tar header
pax-bad-size|a damaged tar header
after-end|data after the archive's end
header-size|has no bundle header
lzma-properties|not a bundle
lzma-dictionary|not a bundle
lzma-huge|the bundle's archive:
lzma-longer|the LZMA stream ends before its declared size
lzma-shorter|damaged LZMA data
lzma-cut|the LZMA stream is truncated
split-sizes|damaged LZMA data
split-flags|damaged LZMA data
stored-sizes|damaged LZMA data
ROWS
# sizes from an extended header and in base-256 form
for row in 'pax-size:5000  sized.bin' 'base256:700  binary-size.bin'; do
  "$hostile" ${row%%:*} loader.exe stub.exe stub.exe sized.exe && expect 0 '' list sized.exe
  grep -q " ${row#*:}\$" "$top/out" || bad "${row%%:*}: $(cat "$top/out")"
done
# bundles of the first version still list and extract, and so do bundles in slices
for kind in version1 sliced; do
  "$hostile" $kind loader.exe stub.exe stub.exe $kind.exe && expect 0 '' extract $kind.exe -C $kind &&
    cmp -s $kind/run.exe stub.exe && expect 0 '' list $kind.exe || bad "a bundle: $kind"
done
grep -q '^codec: LZMA, .*in slices of 1048576 bytes' "$top/out" || bad "a sliced bundle's codec: $(head -3 "$top/out")"
expect 0 '' list version1.exe
grep -q '^codec: payload' "$top/out" || bad "a version 1 bundle's codec: $(head -3 "$top/out")"

# --- what the packed file shows Windows: the options', else the program's, else the defaults ---
cp "$identity_file" id.exe
mkdir -p shown && cp id.exe shown/Setup.exe && LC_ALL=C sed -i "s/'highestAvailable'    /'requireAdministrator'/" shown/Setup.exe
rsrc=$((16#$(x86_64-w64-mingw32-objdump -h id.exe | awk '$2 == ".rsrc" { print $6 }')))
cp id.exe loop.exe && put '\0\0\0\x80' loop.exe $((rsrc + 20)) # the directory's first type leads back to its root
printf '\0\0\1\0\1\0\20\20\0\0\1\0\40\0\50\0\0\0\26\0\0\0' > small.ico && head -c 40 /dev/urandom >> small.ico
{ printf '\0\0\1\0\1\0\0\0\0\0\1\0\40\0\100\234\0\0\26\0\0\0' && head -c 40000 /dev/urandom; } > big.ico
# The first icon group's images (or an .ico file's), as one digest; of a
# program, whether its checksum, SizeOfImage and other headers agree.
cat > "$top/icon.py" <<'PY'
import hashlib, struct, sys, pefile
data = open(sys.argv[1], "rb").read()
if data[:4] == b"\0\0\1\0":
    entries = [(data[6 + 16 * i:18 + 16 * i],) + struct.unpack_from("<II", data, 14 + 16 * i) for i in range(data[4])]
    print(hashlib.md5(b"".join(entry + data[at:at + size] for entry, size, at in entries)).hexdigest())
    sys.exit()
pe = pefile.PE(data=data)
h, types = pe.OPTIONAL_HEADER, {t.id: t.directory.entries for t in pe.DIRECTORY_ENTRY_RESOURCE.entries}
end = max(s.VirtualAddress + s.Misc_VirtualSize for s in pe.sections)
if h.CheckSum != pe.generate_checksum() or pe.get_warnings() or h.SizeOfImage != -(-end // h.SectionAlignment) * h.SectionAlignment:
    print("headers that do not agree")
group = types[14][0].directory.entries[0]
read = lambda entry: pe.get_data(entry.data.struct.OffsetToData, entry.data.struct.Size)
images = {name.id: {l.id: l for l in name.directory.entries} for name in types[3]}
directory, digest = read(group), hashlib.md5()
for i in range(directory[4]):
    languages = images[struct.unpack_from("<H", directory, 18 + 14 * i)[0]]
    digest.update(directory[6 + 14 * i:18 + 14 * i] + read(languages.get(group.id, next(iter(languages.values())))))
print(digest.hexdigest())
PY
icon() { /usr/bin/python3 "$top/icon.py" "$1"; }
# Its icon, images, file version, level and a version string; its manifest well-formed.
shows() {
  icon "$1"
  wrestool -x --raw --type=24 "$1" | xmllint --noout - 2> /dev/null || echo "a manifest that is not XML"
  run info --json "$1" && jq -c '[(.icon | length), .file_version, .execution_level, .version_strings.CompanyName]' "$top/out"
}
while IFS='|' read -r name args want icon_of warning; do
  eval "expect 0 '$warning' -f $args -o shown.exe"
  [ "$(shows shown.exe)" = "$(icon $icon_of)"$'\n'"$want" ] || bad "$name: shows $(shows shown.exe)"
done <<'ROWS'
the stub's first group (of two, one in two languages)|pack id.exe --loader loader.exe|[2,"1.2.3.4","highestAvailable","Identity Test"]|id.exe|
every option, over the stub's|pack id.exe --loader loader.exe --icon small.ico --execution-level requireAdministrator --version-string CompanyName=Grüße --file-version 9.8.7.6|[1,"9.8.7.6","requireAdministrator","Grüße"]|small.ico|
no resources: the defaults|pack stub.exe --loader loader.exe|[9,null,"asInvoker",null]|loader.exe|
a directory that loops: the defaults|pack loop.exe --loader loader.exe|[9,null,"asInvoker",null]|loader.exe|loop.exe: its resource directory loops
the command's program's|bundle shown --run 'setup.exe /S' "${tools[@]}"|[2,"1.2.3.4","requireAdministrator","Identity Test"]|id.exe|
a system program: the defaults|bundle shown --run 'cmd /c setup.exe' "${tools[@]}"|[9,null,"asInvoker",null]|loader.exe|
ROWS
expect 1 "big.ico: the packed file's resources would take 41" pack id.exe -o big.exe --loader loader.exe --icon big.ico
exit $failed
