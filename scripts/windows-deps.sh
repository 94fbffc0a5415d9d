#!/usr/bin/env bash
# Cross-builds, for the Windows program, the libraries it needs from Debian's
# own source packages (apt-get source), with MinGW-w64 (POSIX threads):
#
#   libjpeg-turbo   static, with its NASM SIMD code
#   FreeType        static, without zlib, bzip2, PNG, HarfBuzz, Brotli
#   pixman, libpng  static, for Cairo
#   Cairo           static, image surfaces and FreeType fonts only
#   zint            static, draws the barcodes of the sample data (tests)
#   ZBar            libzbar-0.dll, one-dimensional symbologies only (no
#                   iconv); the service loads it at run time
#   GoogleTest      static, from Debian's /usr/src/googletest
#
#   scripts/windows-deps.sh                 build (once), print the prefix last
#   scripts/windows-deps.sh --print-prefix  print the prefix if built, else exit 1
#
# The prefix is $VELMAR_WINDOWS_DEPS_CACHE/mingw-KEY (default cache folder
# /var/cache/velmar-ci), KEY made from the source package versions, the
# compiler's, and this script and the CMake toolchain file: a new version of
# any of them builds a new prefix, an unchanged one is reused as it is. The
# prefix is complete when its .complete file exists (written last). Needs the
# packages and the deb-src entries of scripts/setup-deps.sh. The sources are
# unpacked and built in a temporary folder outside the checkout. Each
# library's build takes /tmp/velmar-build.lock itself: do not run this script
# under that lock.
#
# The .pc files of the prefix list the libraries' own dependencies in Libs
# (not Libs.private): everything in it is static, so a plain
# "pkg-config --libs cairo" is what a static link needs.
set -euo pipefail
cd "$(dirname "$0")/.."
REPO=$(pwd)
TOOLCHAIN="$REPO/cmake/mingw-w64-x86_64.cmake"
HOST=x86_64-w64-mingw32
MINGW_ROOT=/usr/$HOST
CACHE=${VELMAR_WINDOWS_DEPS_CACHE:-/var/cache/velmar-ci}
LOCK=/tmp/velmar-build.lock
JOBS=2
SOURCES=(libjpeg-turbo freetype pixman libpng1.6 cairo zint zbar)

say() { printf '[windows-deps] %s\n' "$*" >&2; }
die() {
  say "error: $*"
  exit 1
}

mode=build
case "${1:-}" in
  "") ;;
  --print-prefix) mode=print ;;
  *) die "unknown argument '$1' (only --print-prefix)" ;;
esac

command -v "$HOST-g++-posix" >/dev/null || die "$HOST-g++-posix missing: run scripts/setup-deps.sh"

APT_OPTS=(-qq)
if [ "$(id -u)" -eq 0 ]; then
  # apt's download user cannot write into a folder of root's.
  APT_OPTS+=(-o APT::Sandbox::User=root)
fi

# --- the key: what the prefix is built from ----------------------------------
declare -A VERSION
uris=$(apt-get "${APT_OPTS[@]}" source --print-uris "${SOURCES[@]}" 2>/dev/null) ||
  die "no source packages: deb-src entries missing (run scripts/setup-deps.sh)"
for src in "${SOURCES[@]}"; do
  dsc=$(awk -v name="$src" '$2 ~ "^" name "_.*\\.dsc$" { print $2; exit }' <<<"$uris")
  [ -n "$dsc" ] || die "no source package '$src' (run scripts/setup-deps.sh)"
  version=${dsc#"${src}_"}
  VERSION[$src]=${version%.dsc}
done
gtest_version=$(dpkg-query -W -f='${Version}' googletest 2>/dev/null) ||
  die "googletest (/usr/src/googletest) missing: run scripts/setup-deps.sh"
key_input=$(
  for src in "${SOURCES[@]}"; do echo "$src ${VERSION[$src]}"; done
  echo "googletest $gtest_version"
  dpkg-query -W -f='${Package} ${Version}\n' g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev \
    libz-mingw-w64-dev nasm
  sha256sum "$0" "$TOOLCHAIN" | cut -d' ' -f1
)
KEY=$(printf '%s\n' "$key_input" | sha256sum | cut -c1-12)
PREFIX="$CACHE/mingw-$KEY"

if [ "$mode" = print ]; then
  [ -f "$PREFIX/.complete" ] || exit 1
  echo "$PREFIX"
  exit 0
fi

mkdir -p "$CACHE"
# One build of a given prefix at a time; a second caller waits, then finds it complete.
exec 8>"$PREFIX.lock"
flock 8
if [ -f "$PREFIX/.complete" ]; then
  say "already built"
  echo "$PREFIX"
  exit 0
fi

started=$SECONDS
WORK=$(mktemp -d /var/tmp/velmar-windows-deps.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
rm -rf "$PREFIX"
mkdir -p "$PREFIX/lib/pkgconfig" "$PREFIX/include" "$PREFIX/bin"
say "building into $PREFIX (work folder $WORK)"

export CC="$HOST-gcc-posix" CXX="$HOST-g++-posix" AR="$HOST-ar" RANLIB="$HOST-ranlib"
export NM="$HOST-nm" STRIP="$HOST-strip" WINDRES="$HOST-windres" RC="$HOST-windres"
export PKG_CONFIG_LIBDIR="$PREFIX/lib/pkgconfig:$MINGW_ROOT/lib/pkgconfig" PKG_CONFIG_PATH=""
export CFLAGS="-O2" CXXFLAGS="-O2"
export CPPFLAGS="-I$PREFIX/include" LDFLAGS="-L$PREFIX/lib"

# Unpacks a source package into $WORK and prints its folder. Some packages'
# Debian archive (patches) is not on the mirror any more: their upstream
# tarball, checked by apt like the rest, is used as it is.
fetch() {
  local src=$1 version=${VERSION[$1]} upstream dir tarball
  upstream=${version#*:}
  upstream=${upstream%-*}
  (cd "$WORK" && apt-get "${APT_OPTS[@]}" source "$src" >"$WORK/$src.fetch.log" 2>&1) || true
  dir="$WORK/$src-$upstream"
  if [ ! -d "$dir" ]; then
    tarball=$(find "$WORK" -maxdepth 1 -name "${src}_${upstream}.orig.tar.*" ! -name '*.asc' | head -1)
    [ -n "$tarball" ] || {
      cat "$WORK/$src.fetch.log" >&2
      die "apt-get source $src"
    }
    say "$src: the Debian changes could not be fetched: upstream $upstream as it is"
    dir="$WORK/$(tar -tf "$tarball" | head -1 | cut -d/ -f1)"
    tar -xf "$tarball" -C "$WORK"
  fi
  echo "$dir"
}

# Runs one library's build under the shared build lock, its output to a log
# that is shown when the build fails.
build() {
  local name=$1 step_started=$SECONDS status
  shift
  say "$name ${VERSION[$name]:-$gtest_version}"
  # Not in a condition: the steps inside must stop at their first failure.
  set +e
  (
    set -e
    flock 9
    echo "$SECONDS" >"$WORK/$name.locked"
    cd "$WORK"
    "$@"
  ) 9>"$LOCK" >"$WORK/$name.log" 2>&1
  status=$?
  set -e
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$WORK/$name.log" >&2
    die "$name failed (log above)"
  fi
  say "$name: $((SECONDS - $(cat "$WORK/$name.locked"))) s ($(($(cat "$WORK/$name.locked") - step_started)) s waiting for the build lock)"
}

cmake_build() {
  local srcdir=$1 builddir=$2
  shift 2
  cmake -S "$srcdir" -B "$builddir" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DVELMAR_WINDOWS_DEPS="$PREFIX" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$PREFIX" -DBUILD_SHARED_LIBS=OFF "$@"
  cmake --build "$builddir" -j "$JOBS"
  cmake --install "$builddir"
}

build_jpeg() {
  local dir
  dir=$(fetch libjpeg-turbo)
  cmake_build "$dir" "$WORK/jpeg-build" -DENABLE_SHARED=OFF -DENABLE_STATIC=ON \
    -DWITH_SIMD=ON -DREQUIRE_SIMD=ON -DWITH_TURBOJPEG=OFF -DCMAKE_ASM_NASM_COMPILER=nasm
}

build_freetype() {
  local dir
  dir=$(fetch freetype)
  cmake_build "$dir" "$WORK/freetype-build" -DFT_DISABLE_ZLIB=ON -DFT_DISABLE_BZIP2=ON \
    -DFT_DISABLE_PNG=ON -DFT_DISABLE_HARFBUZZ=ON -DFT_DISABLE_BROTLI=ON
}

configure_static() {
  ./configure --host="$HOST" --prefix="$PREFIX" --disable-shared --enable-static "$@"
}

build_pixman() {
  local dir
  dir=$(fetch pixman)
  cd "$dir"
  configure_static --disable-gtk --disable-libpng --disable-openmp
  make -j "$JOBS" -C pixman
  make -C pixman install
  make install-pkgconfigDATA
}

build_libpng() {
  local dir
  dir=$(fetch libpng1.6)
  cd "$dir"
  configure_static
  make -j "$JOBS"
  make install
}

# Cairo keeps its global locks in critical sections, made ready in DllMain
# when Cairo is a DLL; a static Cairo has no DllMain, and its first text
# then waits forever on a lock never initialised. The constructor added to
# the file that defines those locks initialises them when the program
# starts, before any thread: the program needs no Cairo-internal call. The
# file is linked into every program that takes one of the locks.
cairo_static_locks() {
  cat >>src/cairo-mutex.c <<'EOF'

#if CAIRO_MUTEX_IMPL_WIN32 && _CAIRO_MUTEX_IMPL_USE_STATIC_INITIALIZER && defined(__GNUC__)
static void __attribute__ ((constructor))
_cairo_mutex_initialize_at_start (void)
{
    CAIRO_MUTEX_INITIALIZE ();
}
#endif
EOF
}

build_cairo() {
  local dir
  dir=$(fetch cairo)
  cd "$dir"
  cairo_static_locks
  # Debian's patches leave configure.ac newer than the files generated from
  # it: make would then run an automake of another version.
  touch aclocal.m4
  touch configure
  touch config.h.in
  find . -name Makefile.in -exec touch {} +
  # Cairo's warning flags add _FORTIFY_SOURCE, whose checks live in libssp.
  LIBS="-lssp" configure_static --disable-xlib --disable-xcb --disable-win32 \
    --disable-win32-font --disable-fc --enable-ft --enable-png --disable-ps \
    --disable-svg --disable-script --disable-interpreter --disable-trace --disable-gobject \
    --disable-full-testing --disable-valgrind --disable-symbol-lookup
  make -j "$JOBS" -C src
  make -C src install
}

build_zint() {
  local dir
  dir=$(fetch zint)
  cmake_build "$dir" "$WORK/zint-build" -DZINT_STATIC=ON -DZINT_USE_PNG=OFF -DZINT_USE_QT=OFF
  # Only the static library, under the name the build looks for.
  mv "$PREFIX/lib/libzint-static.a" "$PREFIX/lib/libzint.a"
  rm -f "$PREFIX"/lib/libzint.dll.a "$PREFIX"/bin/libzint.dll "$PREFIX"/bin/zint.exe
}

# ZBar is a DLL, loaded at run time. configure finds clock_gettime in
# winpthread and libtool then refuses to make a DLL that needs it: the
# define turns ZBar's use of it off; winmm gives its timer instead.
build_zbar() {
  local dir
  dir=$(fetch zbar)
  cd "$dir"
  autoreconf -fi
  CPPFLAGS="$CPPFLAGS -D_POSIX_TIMERS=0" LIBS="-lwinmm" LDFLAGS="$LDFLAGS -static-libgcc" \
    ./configure --host="$HOST" --prefix="$PREFIX" --enable-shared --disable-static \
    --enable-codes=ean,databar,code128,code93,code39,codabar,i25 \
    --disable-video --disable-pthread --disable-doc --without-x --without-xshm --without-xv \
    --without-jpeg --without-imagemagick --without-graphicsmagick --without-npapi --without-gtk \
    --without-gir --without-python --without-qt --without-qt5 --without-java --without-dbus
  make -j "$JOBS" -C zbar
  make -C zbar install
  make install-includeHEADERS install-zincludeHEADERS install-pkgconfigDATA
}

build_gtest() {
  cmake_build /usr/src/googletest "$WORK/gtest-build" -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON
}

build libjpeg-turbo build_jpeg
build freetype build_freetype
build pixman build_pixman
build libpng1.6 build_libpng
build cairo build_cairo
build zint build_zint
build zbar build_zbar
build googletest build_gtest

# --- the prefix: static libraries only, their dependencies in Libs ------------
find "$PREFIX" -name '*.la' -delete
for pc in "$PREFIX"/lib/pkgconfig/*.pc; do
  awk '
    /^Libs\.private:/ { private_libs = substr($0, 15); next }
    /^Requires\.private:/ { private_requires = substr($0, 19); next }
    { lines[++n] = $0 }
    END {
      for (i = 1; i <= n; i++) {
        if (lines[i] ~ /^Libs:/) lines[i] = lines[i] " " private_libs
        if (lines[i] ~ /^Requires:/) { lines[i] = lines[i] " " private_requires; private_requires = "" }
        print lines[i]
      }
      if (private_requires != "") print "Requires:" private_requires
    }' "$pc" >"$pc.new"
  mv "$pc.new" "$pc"
done
[ -f "$PREFIX/bin/libzbar-0.dll" ] || die "libzbar-0.dll was not made"
for pc in libjpeg freetype2 pixman-1 libpng16 cairo cairo-ft; do
  [ -f "$PREFIX/lib/pkgconfig/$pc.pc" ] || die "$pc.pc missing from the prefix"
done

printf '%s\n' "$key_input" >"$PREFIX/.complete"
say "done in $((SECONDS - started)) s"
echo "$PREFIX"
