#!/bin/sh
# The client deliverables from outside: libqptrace1.so exports exactly its
# two data symbols and needs only the C libraries; the install of header,
# archive, pkg-config and CMake files into a staging prefix lets a C and a
# C++ program build against them, with pkg-config and with find_package.
#   client_install_test.sh <build dir> <source dir> <scratch dir>
set -eu
mkdir -p "$3"
build=$(cd "$1" && pwd) src=$(cd "$2" && pwd) work=$(cd "$3" && pwd)
lib=$build/libqptrace1.so
fail() { echo "client install test: $*" >&2; exit 1; }

symbols=$(nm -D --defined-only "$lib" | awk '{print $2, $3}' | sort)
[ "$symbols" = "$(printf 'D traceexports1\nR factoryVersionString1' | sort)" ] ||
  fail "exported symbols are: $symbols"
needed=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
for n in $needed; do
  case "$n" in
    libc.so.*|libpthread.so.*|libdl.so.*|librt.so.*|libm.so.*|libgcc_s.so.*) ;;
    *) fail "libqptrace1.so needs $n" ;;
  esac
done
if ldd "$lib" | grep -q 'libstdc++'; then fail "libqptrace1.so loads the C++ runtime"; fi

rm -rf "$work"
mkdir -p "$work"
stage=$work/stage
cmake --install "$build" --prefix "$stage" >"$work/install.log" || { cat "$work/install.log"; fail "install"; }
for f in include/qptrace/qptrace.h lib/libqptrace.a lib/pkgconfig/qptrace.pc \
         lib/cmake/qptrace/qptraceConfig.cmake lib/libqptrace1.so; do
  [ -e "$stage/$f" ] || fail "the install lacks $f"
done

export PKG_CONFIG_PATH="$stage/lib/pkgconfig"
cc -Wall -Wextra -Werror -o "$work/app" "$src/tests/client/app.c" $(pkg-config --cflags --libs qptrace)
"$work/app"
c++ -Wall -Wextra -Werror -x c++ -o "$work/app_cxx" "$src/tests/client/app.c" -x none \
  $(pkg-config --cflags --libs qptrace)
"$work/app_cxx"

cmake -S "$src/tests/client" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$stage" >"$work/cmake.log" ||
  { cat "$work/cmake.log"; fail "find_package"; }
cmake --build "$work/cmake" >>"$work/cmake.log" || { cat "$work/cmake.log"; fail "build with find_package"; }
"$work/cmake/client_app"
"$work/cmake/client_app_cxx"
echo "client install test: ok"
