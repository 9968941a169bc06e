#!/usr/bin/env bash
# Installs everything both builds and the tests need, then cross-builds the
# image libraries that Debian ships no mingw package for. Safe to run again:
# each step checks whether its work is already done.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
deps="$root/build/deps"
stamp="$deps/.done-v2"

log() { printf 'setup: %s\n' "$*"; }

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

export DEBIAN_FRONTEND=noninteractive

packages=(
  cmake ninja-build g++ clang clang-format clang-tidy cppcheck
  g++-mingw-w64-i686 mingw-w64-i686-dev g++-mingw-w64-x86-64 mingw-w64-x86-64-dev
  libz-mingw-w64-dev wine wine64 xvfb xauth x11-apps imagemagick
  zlib1g-dev libjpeg62-turbo-dev libpng-dev libwebp-dev libsodium-dev libzstd-dev zstd
  autoconf automake libtool
  googletest libgtest-dev libbenchmark-dev libtinyxml2-dev
  dpkg-dev nasm xz-utils python3 locales strace
)

# 32-bit Wine only helps where the kernel executes 32-bit programs; some
# kernels here refuse them outright, and there wine32:i386 is a large
# install that can only fail. A 96-byte ELF32 that exits with 7 tells.
runs_32bit() {
  local probe
  probe=$(mktemp)
  printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000\002\000\003\000\001\000\000\000\124\200\004\0104\000\000\000\000\000\000\000\000\000\000\0004\000 \000\001\000\000\000\000\000\000\000\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010`\000\000\000`\000\000\000\005\000\000\000\000\020\000\000\270\001\000\000\000\273\007\000\000\000\315\200' >"$probe"
  chmod +x "$probe"
  local rc=0
  "$probe" 2>/dev/null || rc=$?
  rm -f "$probe"
  [ "$rc" -eq 7 ]
}

want_wine32=0
wine32_failed="$deps/.wine32-failed"
if runs_32bit; then
  want_wine32=1
  # A mirror that could not give it a moment ago is not asked again for six
  # hours: every script calls this setup, and each would wait for the retries.
  if [ -f "$wine32_failed" ] && [ -n "$(find "$wine32_failed" -mmin -360 2>/dev/null)" ]; then
    log "wine32:i386 could not be installed earlier today; the i686 tests will be skipped"
  else
    packages+=(wine32:i386)
  fi
else
  log "this kernel does not run 32-bit programs: wine32 is not installed, the i686 tests will be skipped"
fi

missing=()
if [ "$want_wine32" -eq 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  log "adding the i386 architecture"
  as_root dpkg --add-architecture i386
  need_update=1
fi
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

# Source entries are needed to fetch the upstream tarballs of the image libraries.
src_list=/etc/apt/sources.list.d/zt-deb-src.sources
have_src=0
if grep -rqsE '^(deb-src|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  have_src=1
fi
if [ "$have_src" -eq 0 ]; then
  log "adding deb-src entries"
  tmp=$(mktemp)
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources >"$tmp"
  else
    grep -hE '^deb ' /etc/apt/sources.list 2>/dev/null | sed 's/^deb /deb-src /' >"$tmp" || true
    src_list=/etc/apt/sources.list.d/zt-deb-src.list
  fi
  as_root cp "$tmp" "$src_list"
  rm -f "$tmp"
  need_update=1
fi

# A mirror in the middle of a sync fails "apt-get update" for one of its
# indexes for a while. Try a few times; if it still fails, go on with the
# lists that did come in and let the install below decide.
apt_update() {
  local try
  for try in 1 2 3; do
    if as_root apt-get update -qq; then return 0; fi
    log "apt-get update failed (try $try of 3)"
    [ "$try" -lt 3 ] && sleep $((try * 5))
  done
  log "warning: apt-get update failed; going on with the package lists there are"
}

# Installs the packages in one go; if that fails, one at a time, so that
# one package the mirror cannot give today costs only itself. Only the
# 32-bit Wine may be missing afterwards: the i686 tests are then skipped.
apt_install() {
  if as_root apt-get install -y -qq --no-install-recommends "$@" >/dev/null; then
    return 0
  fi
  log "installing them together failed; trying one at a time"
  local p failed=()
  rm -f "$wine32_failed"
  for p in "$@"; do
    as_root apt-get install -y -qq --no-install-recommends "$p" >/dev/null 2>&1 || failed+=("$p")
  done
  for p in "${failed[@]}"; do
    if [ "$p" = wine32:i386 ]; then
      log "warning: wine32:i386 could not be installed; the i686 tests will be skipped"
      mkdir -p "$deps" && touch "$wine32_failed"
    else
      echo "setup: could not install $p" >&2
      return 1
    fi
  done
}

if [ "${#missing[@]}" -gt 0 ] || [ "${need_update:-0}" -eq 1 ]; then
  log "apt-get update"
  apt_update
fi
if [ "${#missing[@]}" -gt 0 ]; then
  log "installing: ${missing[*]}"
  apt_install "${missing[@]}"
fi

# The posix-thread flavour of the mingw compiler is the one we build with.
if ! i686-w64-mingw32-g++-posix --version >/dev/null 2>&1; then
  echo "setup: i686-w64-mingw32-g++-posix is missing after install" >&2
  exit 1
fi

# Wine reports the UI language from LANG, but only for a locale the system
# has: the language tests need Japanese and English UTF-8 locales.
for loc in ja_JP en_US; do
  if ! locale -a 2>/dev/null | grep -qix "$loc.utf8"; then
    log "generating the $loc.UTF-8 locale"
    as_root localedef -i "$loc" -f UTF-8 "$loc.UTF-8" >/dev/null 2>&1 || true
  fi
done

# libsodium (signatures and hashes of signed packages) has a step and a
# mark of its own, so that a tree whose image libraries are already built
# only adds it. Its source package has no configure script: autogen makes it.
sodium_stamp="$deps/.sodium-done-v1"
if [ ! -f "$sodium_stamp" ]; then
  log "cross-building libsodium into build/deps"
  sdir="$deps/src/libsodium"
  mkdir -p "$sdir"
  if ! ls "$sdir"/*.orig.tar.* >/dev/null 2>&1; then
    (cd "$sdir" && apt-get source --download-only libsodium >/dev/null 2>&1) || true
  fi
  sodium_tar=$(ls "$sdir"/*.orig.tar.* 2>/dev/null | grep -v '\.asc$' | head -n 1)
  if [ -z "$sodium_tar" ]; then
    echo "setup: could not fetch the source package libsodium" >&2
    exit 1
  fi
  for arch in i686 x86_64; do
    work="$deps/work-sodium-$arch"
    rm -rf "$work"; mkdir -p "$work"
    tar -xf "$sodium_tar" -C "$work" --strip-components=1
    if ! ( cd "$work" &&
           { [ -x configure ] || ./autogen.sh -s || autoreconf -fi; } &&
           ./configure --host="$arch-w64-mingw32" --prefix="$deps/$arch" \
             --disable-shared --enable-static &&
           make -j "$(nproc)" && make install ) >"$work.log" 2>&1; then
      echo "setup: building libsodium for $arch failed; its log is $work.log" >&2
      tail -n 20 "$work.log" | sed 's/^/  /' >&2
      exit 1
    fi
    rm -rf "$work" "$work.log"
  done
  touch "$sodium_stamp"
fi

# libzstd (the binary deltas of packages), the same way: a step and a mark
# of its own. Only the library is built, single-threaded (the updater
# decodes one segment at a time; ztpack on Windows compresses on one thread).
zstd_stamp="$deps/.zstd-done-v1"
if [ ! -f "$zstd_stamp" ]; then
  log "cross-building libzstd into build/deps"
  zdir="$deps/src/libzstd"
  mkdir -p "$zdir"
  if ! ls "$zdir"/*.orig.tar.* >/dev/null 2>&1; then
    (cd "$zdir" && apt-get source --download-only libzstd >/dev/null 2>&1) || true
  fi
  zstd_tar=$(ls "$zdir"/*.orig.tar.* 2>/dev/null | grep -v '\.asc$' | head -n 1)
  if [ -z "$zstd_tar" ]; then
    echo "setup: could not fetch the source package libzstd" >&2
    exit 1
  fi
  for arch in i686 x86_64; do
    work="$deps/work-zstd-$arch"
    rm -rf "$work"; mkdir -p "$work" "$deps/$arch/lib" "$deps/$arch/include"
    tar -xf "$zstd_tar" -C "$work" --strip-components=1
    if ! ( cd "$work/lib" &&
           make -j "$(nproc)" libzstd.a CC="$arch-w64-mingw32-gcc-posix" AR="$arch-w64-mingw32-ar" \
             ZSTD_LEGACY_SUPPORT=0 MOREFLAGS="-O2" &&
           cp libzstd.a "$deps/$arch/lib/" && cp zstd.h zstd_errors.h zdict.h "$deps/$arch/include/" ) \
         >"$work.log" 2>&1; then
      echo "setup: building libzstd for $arch failed; its log is $work.log" >&2
      tail -n 20 "$work.log" | sed 's/^/  /' >&2
      exit 1
    fi
    rm -rf "$work" "$work.log"
  done
  touch "$zstd_stamp"
fi

if [ -f "$stamp" ]; then
  exit 0
fi

log "cross-building libjpeg-turbo, libpng and libwebp into build/deps"
mkdir -p "$deps/src"
jobs=$(nproc)

fetch_source() { # package -> path of the upstream tarball
  local pkg=$1
  local dir="$deps/src/$pkg"
  mkdir -p "$dir"
  if ! ls "$dir"/*.orig.tar.* >/dev/null 2>&1; then
    (cd "$dir" && apt-get source --download-only "$pkg" >/dev/null 2>&1) || true
  fi
  local t
  t=$(ls "$dir"/*.orig.tar.* 2>/dev/null | grep -v '\.asc$' | head -n 1)
  if [ -z "$t" ]; then
    echo "setup: could not fetch the source package $pkg" >&2
    exit 1
  fi
  printf '%s\n' "$t"
}

unpack() { # tarball dest
  rm -rf "$2"; mkdir -p "$2"
  tar -xf "$1" -C "$2" --strip-components=1
}

jpeg_tar=$(fetch_source libjpeg-turbo)
png_tar=$(fetch_source libpng1.6)
webp_tar=$(fetch_source libwebp)

# Both Windows architectures: i686 is the product; x86_64 runs the Windows
# tests on machines whose kernel cannot execute 32-bit code (see README).
for arch in i686 x86_64; do
  toolchain="$root/cmake/$arch-w64-mingw32.cmake"
  prefix="$deps/$arch"
  work="$deps/work-$arch"
  rm -rf "$work"; mkdir -p "$work" "$prefix"
  build_cmake() { # srcdir builddir extra-args...
    local s=$1 b=$2; shift 2
    # The log stays where it is (the work folder is only cleared by the next
    # run), and the message names it: without it a failed step would end
    # the setup with no word of what went wrong.
    if ! { cmake -S "$s" -B "$b" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
             -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" "$@" >"$b.log" 2>&1 &&
           cmake --build "$b" -j "$jobs" >>"$b.log" 2>&1 &&
           cmake --install "$b" >>"$b.log" 2>&1; }; then
      echo "setup: building $(basename "$b") for $arch failed; its log is $b.log" >&2
      tail -n 20 "$b.log" | sed 's/^/  /' >&2
      exit 1
    fi
  }
  unpack "$jpeg_tar" "$work/jpeg-src"
  build_cmake "$work/jpeg-src" "$work/jpeg" -DENABLE_SHARED=OFF -DENABLE_STATIC=ON \
    -DWITH_TURBOJPEG=OFF -DWITH_SIMD=OFF
  unpack "$png_tar" "$work/png-src"
  build_cmake "$work/png-src" "$work/png" -DPNG_SHARED=OFF -DPNG_STATIC=ON \
    -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF -DPNG_TOOLS=OFF -DSKIP_INSTALL_PROGRAMS=ON
  unpack "$webp_tar" "$work/webp-src"
  build_cmake "$work/webp-src" "$work/webp" -DBUILD_SHARED_LIBS=OFF \
    -DWEBP_BUILD_ANIM_UTILS=OFF -DWEBP_BUILD_CWEBP=OFF -DWEBP_BUILD_DWEBP=OFF \
    -DWEBP_BUILD_GIF2WEBP=OFF -DWEBP_BUILD_IMG2WEBP=OFF -DWEBP_BUILD_VWEBP=OFF \
    -DWEBP_BUILD_WEBPINFO=OFF -DWEBP_BUILD_WEBPMUX=OFF -DWEBP_BUILD_EXTRAS=OFF \
    -DWEBP_USE_THREAD=OFF
  rm -rf "$work"
done

touch "$stamp"
log "done"
