# Shared by scripts/test and scripts/demo: packages, build trees and Wine.
# Source it; it sets ROOT, BUILD and the Wine environment.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${BV_BUILD:-$ROOT/build}
JOBS=${BV_JOBS:-2}

BV_PACKAGES=(cmake ninja-build g++ clang libclang-rt-14-dev zlib1g-dev libssl-dev
  libgtest-dev googletest g++-mingw-w64-x86-64-posix libz-mingw-w64-dev
  wine wine64 fonts-wine xvfb xauth p7zip-full zip unzip nginx-light python3
  libexpat1-dev ccache libxtst6 openssl)

log() { printf '== %s\n' "$*"; }

# The compiler cache: a machine that built before (another work tree of the
# same sources included) rebuilds only what changed. Paths below the
# sources' parent folder are hashed relative to it.
if command -v ccache >/dev/null 2>&1; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(dirname "$ROOT")} CCACHE_NOHASHDIR=1
  export CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-5G}
fi

# Installs whatever Debian packages are missing (one apt-get update at most).
ensure_packages() {
  local missing=() p
  for p in "${BV_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if ((${#missing[@]})); then
    log "installing ${missing[*]}"
    local sudo=""
    [ "$(id -u)" = 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

# configure_tree DIR [cmake args...]: configures DIR with these arguments
# (and the compilers named by CC and CXX) when it has no build yet or was
# last configured with others; an option left out then no longer lingers in
# the cache, since the cache is made anew.
configure_tree() {
  local dir=$1; shift
  local wanted stamp="$dir/.bv-configure"
  wanted=$(printf '%s\n' "CC=${CC:-}" "CXX=${CXX:-}" "$@")
  if [ ! -f "$dir/build.ninja" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$wanted" ]; then
    rm -f "$dir/CMakeCache.txt" "$stamp"
    cmake -G Ninja -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    printf '%s' "$wanted" > "$stamp"
  fi
}

# build_tree DIR [cmake args...]: configure as configure_tree does, then
# build everything, or only the targets named in BV_TARGETS (blank-separated).
build_tree() {
  local dir=$1; shift
  configure_tree "$dir" "$@"
  local targets=()
  read -r -a targets <<< "${BV_TARGETS:-}"
  # Progress lines are dropped; a grep that drops every line is no failure,
  # a failed build is (with pipefail the pipeline fails either way, so the
  # build's own status is what counts).
  local status=0
  ninja -C "$dir" -j "$JOBS" "${targets[@]}" | grep -vE '^\[[0-9]+/[0-9]+\]' || status=${PIPESTATUS[0]}
  if [ "$status" != 0 ]; then
    echo "build of $dir failed (ninja exit status $status)" >&2
    return "$status"
  fi
}

# The Windows tree carries the demo site's test key (server/demo-key), so
# the wizard it builds trusts only files the demo site signed.
build_windows() {
  build_tree "$BUILD/win" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
    -DBV_VENDOR_KEY="$ROOT/server/demo-key/vendor.pub.pem" "$@"
}

# Wine lives inside the build tree: its prefix, and HOME (Wine links the
# Windows desktop folder into $HOME). No Mono or Gecko prompts, no menu entries.
wine_env() {
  export WINEPREFIX="$BUILD/win/wineprefix"
  export HOME="$BUILD/win/home"
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  export WINEARCH=win64
  export LANG=C.UTF-8
  mkdir -p "$HOME"
  if [ ! -f "$WINEPREFIX/.bv-ready" ]; then
    log "creating the Wine prefix"
    wineboot -i >/dev/null 2>&1 || true
    # Windows unmanaged by an X window manager: under Xvfb there is none,
    # and Wine would otherwise wait two seconds for one at every hide.
    # A machine busy with other work can make the first registry call of a new
    # prefix fail; it is tried again before giving up.
    wineserver -w
    local tries=0
    until wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1; do
      ((++tries < 3)) || { log "the Wine prefix could not be configured"; return 1; }
      sleep 2
    done
    wineserver -w
    touch "$WINEPREFIX/.bv-ready"
  fi
  # Wine's own Tahoma (Debian fonts-wine), which the window asks for: this
  # Wine does not look in its data folder, so the prefix's font folder
  # points at it. Without it Wine substitutes a wider font.
  local font
  for font in /usr/share/wine/fonts/tahoma.ttf /usr/share/wine/fonts/tahomabd.ttf; do
    [ -e "$WINEPREFIX/drive_c/windows/Fonts/${font##*/}" ] || ln -sf "$font" "$WINEPREFIX/drive_c/windows/Fonts/"
  done
  # Tahoma's links to East Asian fonts, which are not installed: Wine looks
  # for them whenever it makes a Tahoma font, about two seconds per window.
  if grep -q '^"Tahoma"=str(7):"MSGOTHIC' "$WINEPREFIX/system.reg" 2>/dev/null; then
    wine reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' /v Tahoma /f \
      >/dev/null 2>&1 || true
  fi
}

# A persistent wineserver and the prefix's services, started once with their
# output sent away, so test processes start fast and nothing holds ctest's pipe.
wine_start() {
  wine_env
  # A server that an earlier Wine process of this prefix left behind would
  # refuse the persistent one: end it first.
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  if ! wineserver -p >/dev/null 2>&1 </dev/null; then
    log "a persistent wineserver could not be started for $WINEPREFIX"
    return 1
  fi
  wine cmd /c exit >/dev/null 2>&1 </dev/null || true
}

wine_stop() {
  wineserver -k >/dev/null 2>&1 || true
}
