#!/usr/bin/env bash
# A second compiler over the product's sources: Debian's clang for the same
# target, with the mingw-w64 headers, syntax and warnings only (linking the
# mingw libraries with lld is not set up). A warning fails the check.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
kestrel_install clang lld
cd "$KESTREL_ROOT"

# mingw-w64's own C++ headers, as its posix-threads g++ names its version ("12-posix").
cxx=/usr/lib/gcc/x86_64-w64-mingw32/$(x86_64-w64-mingw32-g++-posix -dumpversion)/include/c++
clang_include=$(clang -print-resource-dir)/include
flags=(--target=x86_64-w64-mingw32 -std=c++17 -fsyntax-only -Wall -Wextra -pedantic -Werror
       -Wno-missing-field-initializers -nostdinc
       -isystem "$cxx" -isystem "$cxx/x86_64-w64-mingw32" -isystem "$cxx/backward"
       -isystem "$clang_include" -isystem /usr/x86_64-w64-mingw32/include
       -DUNICODE -D_UNICODE -DWINVER=0x0A00 -D_WIN32_WINNT=0x0A00 -DNOMINMAX
       -Isrc -Isrc/resources -I"$KESTREL_BUILD" -I"$KESTREL_BUILD/_deps/include")

failed=0
count=0
for source in $(git ls-files 'src/*.cpp'); do
  count=$((count + 1))
  if ! out=$(clang++ "${flags[@]}" "$source" 2>&1); then
    failed=$((failed + 1))
    echo "$out"
  fi
done
echo "== clang: $count product sources, $failed refused"
[ "$failed" -eq 0 ]
