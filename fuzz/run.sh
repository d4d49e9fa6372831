#!/usr/bin/env bash
# Builds the libFuzzer targets over the codec and runs each for a set time.
#
#   fuzz/run.sh                      every target (reader, roundtrip, canonical, convert, float,
#                                    stored, snapshot) for 60 s
#   FUZZ_SECONDS=600 fuzz/run.sh     longer runs; from 600 s on, the float text is also
#                                    compared with Python's repr over 10^8 random doubles
#   FUZZ_FLOAT_SAMPLES=N             that comparison over N doubles (0: skip it)
#   fuzz/run.sh reader               one target
#
# Each target first replays fuzz/regressions/<target>/ (inputs that once broke
# a property; a failure there fails the script), then fuzzes with a writable
# corpus in build/fuzz/corpus-<target> followed by the read-only seed files
# in tests/data/json_parsing; libFuzzer only ever writes into the first folder.
# A new crash is left in build/fuzz/artifacts/<target>/: fix it, then copy the
# file into fuzz/regressions/<target>/ so every later run replays it.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="${FUZZ_BUILD_DIR:-$root/build/fuzz}"
seconds="${FUZZ_SECONDS:-60}"
cxx="${FUZZ_CXX:-clang++-14}"
command -v "$cxx" >/dev/null || cxx=clang++
seeds="$root/tests/data/json_parsing"
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(reader roundtrip canonical convert float stored snapshot)
# The convert target embeds the interpreter: the Python layers are built
# against this Python's headers and the target links its shared library.
python="${FUZZ_PYTHON:-python3}"
float_samples="${FUZZ_FLOAT_SAMPLES:-$([ "$seconds" -ge 600 ] && echo 100000000 || echo 0)}"
# The interpreter that has pelm_lib installed (scripts/test's environment),
# for the comparison with repr.
repr_python="${FUZZ_REPR_PYTHON:-$root/build/venv/bin/python}"

command -v "$cxx" >/dev/null || { echo "fuzz/run.sh needs clang++ (Debian: clang, libclang-rt-dev)" >&2; exit 1; }

sanitizers="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
# FUZZ_CXXFLAGS: extra compiler flags, e.g. -I of a patched header folder.
read -r -a extra_flags <<< "${FUZZ_CXXFLAGS:-}"
tree=tests/native/value_tree
cflags=(-std=c++20 -O1 -g "${extra_flags[@]}" -I "$root/src" -I "$root/tests/native" -Wall -Wextra -Wpedantic -Werror)

compile_folder() {  # $1: folder under the root, $2...: extra flags; prints the objects
  local folder="$1"; shift
  local src obj
  for src in "$root/$folder"/*.cpp; do
    obj="$out/obj/$(basename "$folder")-$(basename "$src" .cpp).o"
    if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ] || [ -n "$(find "$root/src" "$root/$folder" -name '*.hpp' -newer "$obj")" ]; then
      # shellcheck disable=SC2086
      "$cxx" "${cflags[@]}" "$@" -fsanitize=fuzzer-no-link $sanitizers -c "$src" -o "$obj" >&2
    fi
    echo "$obj"
  done
}

build() {
  mkdir -p "$out/obj"
  local codec_objs=() python_objs=() python_flags=() python_libs=()
  # The value tree the targets compare whole values with lives with the
  # native tests' support, not in the library.
  mapfile -t codec_objs < <(compile_folder src/codec; compile_folder src/snapshot; compile_folder "$tree")
  for t in "${targets[@]}"; do
    local objs=("${codec_objs[@]}") flags=() libs=()
    if [ "$t" = convert ]; then
      if [ ${#python_objs[@]} -eq 0 ]; then
        read -r -a python_flags <<< "$("$python" - <<'PY'
import sysconfig
print("-isystem", sysconfig.get_paths()["include"], "-fno-strict-aliasing")
PY
)"
        read -r -a python_libs <<< "$("$python" - <<'PY'
import sysconfig
v = sysconfig.get_config_var
print(f"-L{v('LIBDIR')} -Wl,-rpath,{v('LIBDIR')} -lpython{v('LDVERSION')} -ldl -lm")
PY
)"
        mapfile -t python_objs < <(compile_folder src/py "${python_flags[@]}"; compile_folder src/convert "${python_flags[@]}")
      fi
      objs+=("${python_objs[@]}")
      flags=("${python_flags[@]}")
      libs=("${python_libs[@]}")
    fi
    echo "== building ${t}_fuzz"
    # shellcheck disable=SC2086
    "$cxx" "${cflags[@]}" "${flags[@]}" -I "$root/fuzz" -fsanitize=fuzzer $sanitizers \
      "$root/fuzz/${t}_fuzz.cpp" "${objs[@]}" "${libs[@]}" -o "$out/${t}_fuzz"
  done
}

replay_regressions() {  # $1: target
  local dir="$root/fuzz/regressions/$1"
  local inputs=()
  while IFS= read -r -d '' f; do inputs+=("$f"); done < <(find "$dir" -type f ! -name '.*' -print0 2>/dev/null)
  [ ${#inputs[@]} -eq 0 ] && return 0
  echo "== replaying ${#inputs[@]} regression inputs for $1"
  "$out/${1}_fuzz" "${inputs[@]}" > "$out/$1-regressions.log" 2>&1 || {
    tail -n 60 "$out/$1-regressions.log"
    echo "fuzz/run.sh: a regression input of $1 fails again" >&2
    return 1
  }
}

fuzz_target() {  # $1: target
  local corpus="$out/corpus-$1" artifacts="$out/artifacts/$1/"
  mkdir -p "$corpus" "$artifacts"
  local extra=()
  [ "$1" = reader ] || [ "$1" = canonical ] || [ "$1" = stored ] || [ "$1" = snapshot ] && extra+=(-dict="$root/fuzz/json.dict")
  local folders=("$corpus")
  # The JSON texts seed the text targets; the convert target reads its bytes
  # as a program instead, and its interpreter keeps caches across inputs that
  # leak checking would report.
  if [ "$1" = convert ]; then
    extra+=(-detect_leaks=0)
  elif [ -d "$seeds" ]; then
    folders+=("$seeds")
  fi
  # The snapshot target also starts from snapshots: one whole, one without
  # its trailer (the first byte chooses; see fuzz/snapshot_fuzz.cpp).
  [ "$1" = snapshot ] && folders+=("$root/fuzz/seeds-snapshot")
  echo "== fuzzing $1 for ${seconds}s"
  # -timeout is generous because the machine is shared (a descheduled run once
  # took 14 s on an input that needs 40 ms); a real hang still trips it.
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  "$out/${1}_fuzz" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -max_len=4096 \
    -print_final_stats=1 -artifact_prefix="$artifacts" "${extra[@]}" "${folders[@]}" \
    > "$out/$1.log" 2>&1 || { tail -n 60 "$out/$1.log"; echo "fuzz/run.sh: $1 failed; input in $artifacts" >&2; return 1; }
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$out/$1.log"
  grep -E '^#[0-9]+\s+DONE' "$out/$1.log" | tail -n 1
}

# Float text against Python's repr, the long way (tests/python/test_float_text.py).
compare_with_repr() {
  echo "== float text against repr over $float_samples random doubles"
  (cd "$root" && PELM_FLOAT_SAMPLES="$float_samples" "$repr_python" -m pytest -q -p no:cacheprovider \
     tests/python/test_float_text.py -k random_doubles)
}

build
for t in "${targets[@]}"; do
  replay_regressions "$t"
  fuzz_target "$t"
done
[ "$float_samples" -eq 0 ] || compare_with_repr
