#!/usr/bin/env bash
# Cross-builds GLib 2 and GMime 3 (and what they need) for x86_64-w64-mingw32
# from Debian's own source packages, so the Windows build of the converter can
# link the MIME import against the same library versions as the Linux build.
#
#   bash scripts/cross-gmime.sh [PREFIX]
#
# PREFIX defaults to $VELLARY_MINGW_PREFIX, else ~/.cache/vellary-mingw.
# Leaves shared libraries: DLLs in PREFIX/bin, import libraries (.dll.a) and
# pkg-config files in PREFIX/lib. Each package has a stamp in PREFIX/.stamps,
# so a second run only redoes what failed or was removed. Sources and build
# trees live in PREFIX/.work while building; a good build removes them (about
# 840 MB, most of it the wine prefix) unless VELLARY_MINGW_KEEP_WORK=1.
#
# Nothing is fetched except Debian packages through apt: zlib comes from
# Debian's mingw package, the rest from `apt-get source`; meson never falls
# back to subprojects or wraps.
set -euo pipefail

PREFIX=${1:-${VELLARY_MINGW_PREFIX:-$HOME/.cache/vellary-mingw}}
mkdir -p "$PREFIX"
PREFIX=$(cd "$PREFIX" && pwd)
HOST=x86_64-w64-mingw32
JOBS=${JOBS:-$(nproc)}
WORK=$PREFIX/.work
STAMPS=$PREFIX/.stamps
SYSROOT=/usr/$HOST
mkdir -p "$WORK/src" "$WORK/build" "$STAMPS" "$PREFIX/bin" "$PREFIX/lib/pkgconfig" "$PREFIX/include"

SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo

# Wine runs the few configure/meson probes that must execute; its prefix is
# our own, out of $HOME, and quiet.
export WINEPREFIX=$WORK/wine
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

export CC=$HOST-gcc-posix
export CXX=$HOST-g++-posix
export AR=$HOST-ar RANLIB=$HOST-ranlib STRIP=$HOST-strip WINDRES=$HOST-windres
export PKG_CONFIG_LIBDIR=$PREFIX/lib/pkgconfig:$SYSROOT/lib/pkgconfig
export PKG_CONFIG_PATH=
export PKG_CONFIG_SYSROOT_DIR=
export CPPFLAGS="-I$PREFIX/include"
export LDFLAGS="-L$PREFIX/lib"

TOTAL_START=$(date +%s)

# step NAME COMMAND...: runs COMMAND unless NAME's stamp exists; prints its time.
step() {
    local name=$1; shift
    if [ -e "$STAMPS/$name" ]; then
        echo "== $name: already done"
        return 0
    fi
    local start; start=$(date +%s)
    echo "== $name: start"
    "$@"
    local secs=$(( $(date +%s) - start ))
    touch "$STAMPS/$name"
    printf '== %s: done in %dm%02ds\n' "$name" $((secs / 60)) $((secs % 60))
}

# ---------------------------------------------------------------- host tools
install_tools() {
    local list=/etc/apt/sources.list.d/vellary-deb-src.sources
    if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ \
        && ! grep -qs '^deb-src' /etc/apt/sources.list; then
        if [ -f /etc/apt/sources.list.d/debian.sources ]; then
            # The machine's own mirrors, for sources as for packages; not the
            # security suite, whose mirror may hold a newer source's .dsc
            # nowhere (a 404 fails the whole fetch). The main suite and its
            # updates have every package this needs.
            awk 'BEGIN { RS = ""; ORS = "\n\n" } !/security/ { sub(/^Types: deb\n|\nTypes: deb\n/, "\nTypes: deb-src\n"); print }' \
                /etc/apt/sources.list.d/debian.sources | $SUDO tee "$list" >/dev/null
        else
            $SUDO tee "$list" >/dev/null <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
        fi
    fi
    $SUDO apt-get update -q
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix wine wine64 \
        libz-mingw-w64-dev libz-mingw-w64 \
        meson ninja-build pkg-config autoconf automake libtool make dpkg-dev python3 \
        gtk-doc-tools
    # gtk-doc-tools only for gtkdocize: GMime's Debian source has no generated
    # configure, and its configure.ac calls GTK_DOC_CHECK even with docs off.
}

# ---------------------------------------------------------------- sources
# The source packages pinned to Debian 12's versions of the libraries, fetched
# the first time a build step asks for one, so a run with nothing to build
# fetches nothing.
fetch_sources() {
    local start; start=$(date +%s)
    echo "== fetch: start"
    (cd "$WORK/src" && apt-get source -q glib2.0 gmime libffi pcre2)
    printf '== fetch: done in %ds\n' $(( $(date +%s) - start ))
}

srcdir() { # srcdir PACKAGE-PREFIX: the unpacked tree of a source package
    local d
    d=$(find "$WORK/src" -maxdepth 1 -type d -name "$1-*" | sort | head -1)
    if [ -z "$d" ]; then
        fetch_sources >&2
        d=$(find "$WORK/src" -maxdepth 1 -type d -name "$1-*" | sort | head -1)
    fi
    [ -n "$d" ] || { echo "no source tree for $1 in $WORK/src" >&2; return 1; }
    echo "$d"
}

autotools_build() { # autotools_build SRC BUILD CONFIGURE-ARGS...: configure, make, install
    local src=$1 build=$2; shift 2
    rm -rf "$build"; mkdir -p "$build"; cd "$build"
    "$src/configure" --host=$HOST --prefix="$PREFIX" --enable-shared --disable-static "$@" \
        > configure.log 2>&1 || { tail -40 configure.log; return 1; }
    make -j"$JOBS" > make.log 2>&1 || { tail -40 make.log; return 1; }
    make install > install.log 2>&1 || { tail -40 install.log; return 1; }
}

# ---------------------------------------------------------------- runtime DLLs
# zlib comes from Debian's MinGW package; its DLL and the compiler's runtime
# DLLs are copied beside ours so that PREFIX/bin alone is enough at run time,
# and its zlib.pc too, since gio-2.0.pc requires zlib and a consumer may
# search PREFIX/lib/pkgconfig only.
runtime_dlls() {
    cp "$SYSROOT/lib/zlib1.dll" "$SYSROOT/lib/libwinpthread-1.dll" "$PREFIX/bin/"
    cp "$SYSROOT/lib/pkgconfig/zlib.pc" "$PREFIX/lib/pkgconfig/"
    local gccdir; gccdir=$(dirname "$($CC -print-libgcc-file-name)")
    cp "$gccdir/libgcc_s_seh-1.dll" "$gccdir/libstdc++-6.dll" "$PREFIX/bin/"
}

# ---------------------------------------------------------------- libffi
build_libffi() {
    autotools_build "$(srcdir libffi)" "$WORK/build/libffi" --disable-docs --disable-multi-os-directory
}

# ---------------------------------------------------------------- pcre2
build_pcre2() {
    # GLib needs only the 8-bit library.
    autotools_build "$(srcdir pcre2)" "$WORK/build/pcre2" \
        --enable-pcre2-8 --disable-pcre2-16 --disable-pcre2-32 --disable-pcre2grep-libz \
        --disable-pcre2grep-libbz2 --disable-pcre2test-libreadline
}

# ---------------------------------------------------------------- iconv
# Debian has no MinGW iconv any more. GLib compiles its own copy of win-iconv
# (glib/win_iconv.c, on top of the Windows code-page API) straight into
# gconvert.c and exports none of it, but GMime calls iconv_open() itself. So
# the same file becomes a small static libiconv.a that GMime links in.
# Known gap: it has no UTF-7 (names unknown; mapping them to code page 65000
# was tried and decodes to nothing, since win_iconv converts one character
# at a time and UTF-7 runs span many bytes), so =?utf-7?...?= words stay
# undecoded on Windows.
build_iconv() {
    local src; src=$(srcdir glib2.0)
    local build=$WORK/build/iconv
    rm -rf "$build"; mkdir -p "$build"
    $CC -O2 -c "$src/glib/win_iconv.c" -o "$build/win_iconv.o"
    rm -f "$PREFIX/lib/libiconv.a"
    $AR rcs "$PREFIX/lib/libiconv.a" "$build/win_iconv.o"
    cat > "$PREFIX/include/iconv.h" <<'EOF'
/* The interface of win_iconv.c (from GLib's sources), built as libiconv.a. */
#ifndef VELLARY_WIN_ICONV_H
#define VELLARY_WIN_ICONV_H
#include <stddef.h>
#ifdef __cplusplus
extern "C" {
#endif
typedef void *iconv_t;
iconv_t iconv_open(const char *tocode, const char *fromcode);
int iconv_close(iconv_t cd);
size_t iconv(iconv_t cd, char **inbuf, size_t *inbytesleft, char **outbuf, size_t *outbytesleft);
#ifdef __cplusplus
}
#endif
#endif
EOF
}

# ---------------------------------------------------------------- libintl
# GLib 2.74 always calls gettext (its nls option only drops the catalogues)
# and otherwise builds a helper subproject that meson would fetch from the
# network. Translations are of no use to the converter, so this identity
# libintl.a answers every message with its own msgid, as GLib itself does
# when built without NLS (glib/glibintl.h).
build_intl() {
    local build=$WORK/build/intl
    rm -rf "$build"; mkdir -p "$build"
    cat > "$PREFIX/include/libintl.h" <<'EOF'
/* Identity gettext: no catalogues, every message is its own msgid. */
#ifndef VELLARY_LIBINTL_H
#define VELLARY_LIBINTL_H
#include <locale.h>
/* The Windows C runtime has no LC_MESSAGES; GLib only queries it with
   setlocale (LC_MESSAGES, NULL), so let it see the LC_CTYPE locale. */
#ifndef LC_MESSAGES
#define LC_MESSAGES LC_CTYPE
#endif
#ifdef __cplusplus
extern "C" {
#endif
/* format_arg: callers that pass the result to printf keep their checks. */
#define VELLARY_FMT(n) __attribute__((__format_arg__(n)))
char *gettext(const char *msgid) VELLARY_FMT(1);
char *dgettext(const char *domain, const char *msgid) VELLARY_FMT(2);
char *dcgettext(const char *domain, const char *msgid, int category) VELLARY_FMT(2);
char *ngettext(const char *msgid, const char *plural, unsigned long n)
    VELLARY_FMT(1) VELLARY_FMT(2);
char *dngettext(const char *domain, const char *msgid, const char *plural, unsigned long n)
    VELLARY_FMT(2) VELLARY_FMT(3);
char *dcngettext(const char *domain, const char *msgid, const char *plural, unsigned long n,
                 int category) VELLARY_FMT(2) VELLARY_FMT(3);
char *textdomain(const char *domain);
char *bindtextdomain(const char *domain, const char *dirname);
char *bind_textdomain_codeset(const char *domain, const char *codeset);
#ifdef __cplusplus
}
#endif
#endif
EOF
    cat > "$build/intl.c" <<'EOF'
#include <libintl.h>
#define UNUSED __attribute__((unused))
char *gettext(const char *msgid) { return (char *)msgid; }
char *dgettext(const char *d UNUSED, const char *msgid) { return (char *)msgid; }
char *dcgettext(const char *d UNUSED, const char *msgid, int c UNUSED) { return (char *)msgid; }
char *ngettext(const char *msgid, const char *plural, unsigned long n)
{ return (char *)(n == 1 ? msgid : plural); }
char *dngettext(const char *d UNUSED, const char *msgid, const char *plural, unsigned long n)
{ return ngettext(msgid, plural, n); }
char *dcngettext(const char *d UNUSED, const char *msgid, const char *plural, unsigned long n,
                 int c UNUSED)
{ return ngettext(msgid, plural, n); }
char *textdomain(const char *domain) { return (char *)(domain ? domain : "messages"); }
char *bindtextdomain(const char *domain UNUSED, const char *dirname) { return (char *)dirname; }
char *bind_textdomain_codeset(const char *d UNUSED, const char *codeset) { return (char *)codeset; }
EOF
    $CC -O2 -Wall -Wextra -I"$PREFIX/include" -c "$build/intl.c" -o "$build/intl.o"
    rm -f "$PREFIX/lib/libintl.a"
    $AR rcs "$PREFIX/lib/libintl.a" "$build/intl.o"
}

# ---------------------------------------------------------------- glib
write_cross_file() {
    cat > "$WORK/mingw-w64.cross" <<EOF
[binaries]
c = '$HOST-gcc-posix'
cpp = '$HOST-g++-posix'
ar = '$HOST-ar'
strip = '$HOST-strip'
windres = '$HOST-windres'
pkgconfig = 'pkg-config'
exe_wrapper = 'wine'

[properties]
pkg_config_libdir = ['$PREFIX/lib/pkgconfig', '$SYSROOT/lib/pkgconfig']

[host_machine]
system = 'windows'
cpu_family = 'x86_64'
cpu = 'x86_64'
endian = 'little'

[built-in options]
c_args = ['-I$PREFIX/include']
c_link_args = ['-L$PREFIX/lib']
cpp_args = ['-I$PREFIX/include']
cpp_link_args = ['-L$PREFIX/lib']
EOF
}

build_glib() {
    local src; src=$(srcdir glib2.0)
    local build=$WORK/build/glib
    write_cross_file
    # Meson takes the compilers and flags from the cross file only; the
    # autotools variables exported above would leak into the build machine.
    # nodownload: the in-tree gvdb subproject is fine, no wrap may be fetched.
    # A build tree left by a failed run is resumed, not set up again.
    [ -e "$build/build.ninja" ] || env -u CC -u CXX -u AR -u RANLIB -u STRIP -u WINDRES -u CPPFLAGS -u LDFLAGS \
        meson setup "$build" "$src" --cross-file "$WORK/mingw-w64.cross" \
        --prefix="$PREFIX" --libdir=lib --buildtype=release --default-library=shared \
        --wrap-mode=nodownload \
        -Dtests=false -Dinstalled_tests=false -Dnls=disabled -Dgtk_doc=false -Dman=false \
        -Dlibmount=disabled -Dselinux=disabled -Dxattr=false -Dlibelf=disabled \
        -Dsysprof=disabled -Ddtrace=false -Dsystemtap=false \
        > "$WORK/build/glib-setup.log" 2>&1 || { tail -40 "$WORK/build/glib-setup.log"; return 1; }
    ninja -C "$build" -j"$JOBS" > "$WORK/build/glib-build.log" 2>&1 \
        || { tail -40 "$WORK/build/glib-build.log"; return 1; }
    meson install -C "$build" > "$WORK/build/glib-install.log" 2>&1 \
        || { tail -40 "$WORK/build/glib-install.log"; return 1; }
}

# ---------------------------------------------------------------- gmime
build_gmime() {
    local src; src=$(srcdir gmime)
    local build=$WORK/build/gmime
    # The +dfsg source carries no generated configure.
    if [ ! -x "$src/configure" ]; then
        (cd "$src" && NOCONFIGURE=1 ./autogen.sh > "$WORK/build/gmime-autogen.log" 2>&1) \
            || { tail -40 "$WORK/build/gmime-autogen.log"; return 1; }
    fi
    # configure wants the charset names the target's iconv accepts, found by
    # a program it cannot run when cross-compiling: build it and run it in wine.
    rm -rf "$build"; mkdir -p "$build"; cd "$build"
    $CC $CPPFLAGS -o iconv-detect.exe "$src/iconv-detect.c" $LDFLAGS -liconv
    wine ./iconv-detect.exe > iconv-detect.out 2>&1 || { cat iconv-detect.out; return 1; }
    [ -s iconv-detect.h ] || { echo "iconv-detect.exe wrote no iconv-detect.h" >&2; return 1; }
    # libtool refuses to put static archives (libiconv.a, libintl.a) into a
    # DLL unless told that any dependency is fine; without it, it quietly
    # builds a static libgmime only.
    ac_cv_have_iconv_detect_h=yes lt_cv_deplibs_check_method=pass_all "$src/configure" --host=$HOST --prefix="$PREFIX" \
        --enable-shared --disable-static --disable-glibtest \
        --disable-crypto --disable-introspection --disable-vala --without-libidn \
        --disable-gtk-doc \
        > configure.log 2>&1 || { tail -40 configure.log; return 1; }
    # Only the library: the tests, examples and tools are not needed here.
    { make -j"$JOBS" -C util && make -j"$JOBS" -C gmime; } > make.log 2>&1 \
        || { tail -40 make.log; return 1; }
    { make -C gmime install && make install-pkgconfigDATA; } > install.log 2>&1 \
        || { tail -40 install.log; return 1; }
}

step tools install_tools
step runtime runtime_dlls
step libffi build_libffi
step pcre2 build_pcre2
step iconv build_iconv
step intl build_intl
step glib build_glib
step gmime build_gmime

total=$(( $(date +%s) - TOTAL_START ))
for pc in glib-2.0 gobject-2.0 gmime-3.0; do
    PKG_CONFIG_LIBDIR=$PREFIX/lib/pkgconfig pkg-config --exists "$pc" \
        || { echo "$pc.pc missing or incomplete in $PREFIX/lib/pkgconfig" >&2; exit 1; }
done
wineserver -k 2>/dev/null || true
printf '== all done in %dm%02ds; %s takes %s, of which sources, build trees and wine (.work) %s\n' \
    $((total / 60)) $((total % 60)) "$PREFIX" "$(du -sh "$PREFIX" | cut -f1)" "$(du -sh "$WORK" | cut -f1)"
if [ "${VELLARY_MINGW_KEEP_WORK:-0}" != 1 ]; then
    # The stamps stand for what is installed; a later rebuild of one package
    # (its stamp removed) fetches the sources again.
    rm -rf "$WORK"
    echo "== removed $WORK; $PREFIX now takes $(du -sh "$PREFIX" | cut -f1)"
fi
