# Shared by scripts/run, scripts/test and scripts/bench: packages, builds, and a private
# Wine session (prefix, virtual display, persistent wineserver) that is always torn down.

R47_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
R47_BUILD=${R47_BUILD:-$R47_ROOT/build}
export R47_WINEPREFIX=${R47_WINEPREFIX:-$R47_BUILD/wineprefix}
# Three build trees: the program users get (32-bit, XP and later) in $R47_BUILD, the
# 32-bit tests that drive that very program, and a 64-bit build with its own tests.
R47_BUILD_32TESTS=$R47_BUILD/test32
R47_BUILD_X64=$R47_BUILD/x64
# Paths below the checkout are hashed relative to it, so that clones share ccache's hits.
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$R47_ROOT}

r47_log() { printf '== %s\n' "$*" >&2; }

# Runs a command that may take minutes with its output in a log file, and says every
# 20 s that it is still at work. On failure the end of the log is shown.
r47_alive() {
  local what=$1 log
  shift
  log=$(mktemp "${TMPDIR:-/tmp}/r47-step.XXXXXX")
  "$@" >"$log" 2>&1 &
  local pid=$! start=$SECONDS rc=0
  while kill -0 "$pid" 2>/dev/null; do
    local i
    for i in $(seq 40); do kill -0 "$pid" 2>/dev/null || break; sleep 0.5; done
    kill -0 "$pid" 2>/dev/null && r47_log "still $what ($((SECONDS - start)) s)"
  done
  wait "$pid" || rc=$?
  if [ "$rc" -ne 0 ]; then
    r47_log "$what failed (exit $rc):"
    tail -n 40 "$log" >&2
  fi
  rm -f "$log"
  return "$rc"
}

# Debian packages needed to build and to run under Wine. The 32-bit program needs
# 32-bit Wine, which comes from the i386 architecture.
R47_PACKAGES=(cmake ninja-build mingw-w64 g++-mingw-w64-i686-win32 g++-mingw-w64-i686-posix
              g++-mingw-w64-x86-64-posix wine wine64 wine32:i386 fonts-wine fonts-liberation
              fonts-droid-fallback xvfb xauth x11-utils openbox imagemagick googletest clang ccache)

# Whether this machine runs 32-bit x86 programs. Some virtual machines run 64-bit code
# only (their kernel has no 32-bit mode for programs): there 32-bit Wine cannot start
# ("Exec format error"). Such a machine still builds the 32-bit program users get and
# checks its headers and imports, and tests its behaviour through the 64-bit build.
# Asked after the packages are in: the probe is 32-bit glibc's own loader.
r47_runs_32bit() {
  if [ -z "${R47_RUNS_32BIT:-}" ]; then
    R47_RUNS_32BIT=no
    /lib/ld-linux.so.2 --version >/dev/null 2>&1 && R47_RUNS_32BIT=yes
    export R47_RUNS_32BIT
  fi
  [ "$R47_RUNS_32BIT" = yes ]
}

# Stand-ins for `wine` and `wine-stable` (wineboot goes through the latter), earlier
# on PATH than Debian's launcher:
# - Debian's Wine has no preloader, the helper that keeps the address ranges Wine
#   needs free before Linux maps anything. With address space randomisation, the
#   loader's heap then lands on the shared user data page (0x7ffe0000) in about one
#   start in 1600, and the program dies before its first line: "failed to map the
#   shared user data", or CreateProcess error 1359 in the program that started it.
#   Wine's loader is linked so that a heap right after it stays clear of that page,
#   so the stand-ins start Wine without randomisation; every program it starts
#   inherits that. Where the system refuses (some containers), a line says so.
# - On a 64-bit-only machine they start the 64-bit loader directly: Debian's launcher
#   tries the 32-bit loader first when wine32 is installed.
r47_wine_shims() {
  local shim=$R47_BUILD/wine-shims name real norandom=""
  if setarch "$(uname -m)" -R true 2>/dev/null; then
    norandom="setarch $(uname -m) -R "
  else
    r47_log "address randomisation cannot be turned off here: Wine may fail to start a program" \
            "in about one start in 1600"
  fi
  mkdir -p "$shim"
  for name in wine wine-stable; do
    if r47_runs_32bit; then
      real=$(PATH=$(printf '%s' "$PATH" | tr ':' '\n' | grep -vx "$shim" | paste -sd:) command -v "$name")
      printf '#!/bin/sh\nexec %s%s "$@"\n' "$norandom" "$real" >"$shim/$name"
    else
      printf '#!/bin/sh\nexport WINELOADER=/usr/lib/wine/wine64\nexec %s/usr/lib/wine/wine64 "$@"\n' \
        "$norandom" >"$shim/$name"
    fi
    chmod +x "$shim/$name"
  done
  case ":$PATH:" in *":$shim:"*) ;; *) export PATH=$shim:$PATH ;; esac
}

r47_sudo() {
  if [ "$(id -u)" -eq 0 ]; then "$@"
  else sudo "$@"
  fi
}

r47_ensure_packages() {
  local missing=() p
  for p in "${R47_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local need_i386=no
  dpkg --print-foreign-architectures | grep -qx i386 || need_i386=yes
  if [ "$(id -u)" -ne 0 ] && ! { command -v sudo >/dev/null && sudo -n true 2>/dev/null; }; then
    echo "Missing packages. Please run once:" >&2
    [ "$need_i386" = yes ] && echo "  sudo dpkg --add-architecture i386" >&2
    echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
    exit 2
  fi
  if [ "$need_i386" = yes ]; then
    r47_log "adding the i386 architecture (for 32-bit Wine)"
    r47_sudo dpkg --add-architecture i386
  fi
  r47_log "installing ${missing[*]}"
  r47_alive "updating the package lists" r47_sudo apt-get update -q
  r47_alive "installing packages" r47_sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
}

# Configures (once) and builds one tree: r47_build_tree DIR PRESET [cmake options].
r47_build_tree() {
  local dir=$1 preset=$2
  shift 2
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    local launcher=()
    # ccache (Debian's package) where it is installed: a fresh clone then compiles only
    # what no earlier build of the same sources compiled.
    if command -v ccache >/dev/null; then
      launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    fi
    r47_alive "configuring $dir" cmake --preset "$preset" -S "$R47_ROOT" -B "$dir" "${launcher[@]}" "$@" || return 1
  fi
  r47_alive "building $dir" cmake --build "$dir" -j "$(nproc)"
}

# Builds the trees named: ship (the program), tests32 (32-bit tests, simulated handheld
# and demo driver for that program), x64 (the 64-bit program and its tests).
r47_build() {
  local tree
  for tree in "$@"; do
    case "$tree" in
      ship) r47_log "building the program (32-bit)"
            r47_build_tree "$R47_BUILD" mingw ;;
      tests32) r47_log "building the 32-bit tests and simulated handheld"
               r47_build_tree "$R47_BUILD_32TESTS" mingw-tests32 -DR47_PROGRAM="$R47_BUILD/bin/r47flash.exe" ;;
      x64) r47_log "building the 64-bit program and its tests"
           r47_build_tree "$R47_BUILD_X64" mingw-x64 -DR47_SHIPPED_PROGRAM="$R47_BUILD/bin/r47flash.exe" ;;
      *) echo "r47_build: unknown tree $tree" >&2; return 2 ;;
    esac || return 1
  done
}

R47_DISPLAY_PIDS=()
R47_WINE_UP=""

# Test lanes: tests run in parallel, and with the system's own SetupAPI every program
# in a Wine session sees every simulated handheld plugged into that session. So each
# lane is a Wine prefix of its own (its own wineserver, registry and devices), and
# scripts/wine-exec runs each program in a lane that no other program holds.
# Lane 0 is the prefix itself; the others are clones beside it.
# The tests mostly wait (for the program's own pauses, for the simulated handheld), so
# the number of lanes follows what the waits allow, not the number of cores (README has
# the figures for 2 to 8 lanes).
R47_LANES=${R47_LANES:-6}
export R47_LANES

r47_lane_prefix() { # lane number
  if [ "$1" -eq 0 ]; then echo "$R47_WINEPREFIX"; else echo "$R47_WINEPREFIX-lane$1"; fi
}

# A lane prefix is a copy of lane 0: the system DLLs (about 1.2 GB, never written in
# place) as hard links, the registry and user folders as real copies.
r47_lane_clone() { # source destination
  local src=$1 dst=$2 d
  rm -rf "$dst"
  mkdir -p "$dst"
  (cd "$src" && tar -cf - --exclude=./wineserver --exclude=./drive_c/windows/system32 \
      --exclude=./drive_c/windows/syswow64 --exclude=./drive_c/windows/winsxs .) | (cd "$dst" && tar -xf -)
  for d in system32 syswow64 winsxs; do
    [ -d "$src/drive_c/windows/$d" ] && cp -al "$src/drive_c/windows/$d" "$dst/drive_c/windows/$d"
  done
  return 0
}

r47_lanes_prepare() {
  local lane dst
  for ((lane = 1; lane < R47_LANES; lane++)); do
    dst=$(r47_lane_prefix "$lane")
    if ! cmp -s "$R47_WINEPREFIX/.update-timestamp" "$dst/.update-timestamp" ||
       ! cmp -s "$R47_WINEPREFIX/.r47-settings" "$dst/.r47-settings"; then
      r47_log "preparing test lane $lane ($dst)"
      r47_lane_clone "$R47_WINEPREFIX" "$dst"
    fi
  done
}

# What the prefix was made with: a prefix made by another Wine, or before 32-bit Wine
# was installed, cannot start 32-bit programs ("could not load kernel32.dll").
r47_wine_identity() {
  local wine32=none
  r47_runs_32bit && wine32=$(dpkg-query -W -f='${Version}' wine32:i386 2>/dev/null || echo none)
  printf '%s wine32=%s\n' "$(wine --version 2>/dev/null)" "$wine32"
}

# Makes sure $WINEPREFIX exists and fits the installed Wine; recreates it otherwise.
r47_prefix_ensure() {
  local stamp=$WINEPREFIX/.r47-wine identity made
  identity=$(r47_wine_identity)
  made=$(cat "$stamp" 2>/dev/null || echo "an unknown Wine")
  if [ -f "$WINEPREFIX/system.reg" ] && [ "$made" != "$identity" ]; then
    r47_log "the Wine prefix $WINEPREFIX was made by $made, not by the installed $identity: recreating it"
    wineserver -k >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
  fi
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    r47_log "creating Wine prefix $WINEPREFIX"
    mkdir -p "$(dirname "$WINEPREFIX")"
    r47_alive "creating the Wine prefix" env WINEDLLOVERRIDES="mscoree,mshtml=" sh -c 'wineboot -i && wineserver -w'
    printf '%s\n' "$identity" >"$stamp"
  fi
}

# Settings every prefix of ours carries; the marker names the settings' version.
R47_PREFIX_SETTINGS=3
r47_prefix_settings() {
  [ "$(cat "$WINEPREFIX/.r47-settings" 2>/dev/null)" = "$R47_PREFIX_SETTINGS" ] && return 0
  # Captions drawn by Wine itself, so that screenshots look like Windows.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1
  # No virtual desktop: a window manager runs on the test display instead.
  wine reg delete 'HKCU\Software\Wine\Explorer' /v Desktop /f >/dev/null 2>&1 || true
  wine reg delete 'HKCU\Software\Wine\Explorer\Desktops' /f >/dev/null 2>&1 || true
  # Wine draws the caption buttons with glyphs of its Marlett font; a prefix that cannot
  # find it shows the letters "0 1 r" instead. Its own copy in the prefix's font folder
  # is always found, and changes no other font.
  local fonts=$WINEPREFIX/drive_c/windows/Fonts marlett
  if [ ! -f "$fonts/marlett.ttf" ]; then
    for marlett in /usr/share/wine/fonts/marlett.ttf /usr/lib/wine/fonts/marlett.ttf \
                   /usr/lib/x86_64-linux-gnu/wine/fonts/marlett.ttf; do
      if [ -f "$marlett" ]; then mkdir -p "$fonts" && cp "$marlett" "$fonts/"; break; fi
    done
  fi
  # The prefix has no Tahoma, so Wine draws the dialogs and boxes in Liberation Sans,
  # which has no Chinese characters: the device's Big5 failure captions showed as
  # boxes. A link from Liberation Sans to a CJK font supplies only the characters it
  # lacks; every other glyph, and so every dialog's size, stays as it was. (Adding the
  # CJK font to Tahoma's links instead makes Wine pick it for all text.)
  local link='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' face
  for face in "Liberation Sans" "Liberation Sans Bold"; do
    wine reg add "$link" /v "$face" /t REG_MULTI_SZ /d "DroidSansFallbackFull.ttf,Droid Sans Fallback" /f \
      >/dev/null 2>&1
  done
  wineserver -w
  echo "$R47_PREFIX_SETTINGS" >"$WINEPREFIX/.r47-settings"
  rm -f "$WINEPREFIX/.r47-settings-1" "$WINEPREFIX/.r47-fonts-1"
}

# A virtual display of our own with a window manager on it: without one, Wine waits
# about two seconds for every top-level window it hides (each closed box or dialog)
# to be withdrawn. Large enough for the main window at 200 % (about 1180 x 940). Sets
# R47_NEW_DISPLAY.
r47_display_up() {
  local n=$((90 + RANDOM % 400)) i
  while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  R47_DISPLAY_PIDS+=($!)
  for i in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
  R47_NEW_DISPLAY=":$n"
  command -v openbox >/dev/null || return 0
  DISPLAY=$R47_NEW_DISPLAY openbox --sm-disable >/dev/null 2>&1 </dev/null &
  R47_DISPLAY_PIDS+=($!)
  for i in $(seq 50); do
    DISPLAY=$R47_NEW_DISPLAY xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
    sleep 0.1
  done
}

# One session per checkout: a second one would wait 30 s for the first one's
# wineservers, then kill them, and the first one's programs would end under it.
r47_session_claim() {
  local file="$R47_WINEPREFIX-locks/session.pid" other
  mkdir -p "$R47_WINEPREFIX-locks"
  other=$(cat "$file" 2>/dev/null || true)
  if [ -n "$other" ] && [ "$other" != "$$" ] && kill -0 "$other" 2>/dev/null; then
    r47_log "another test, benchmark or demo (process $other) runs Wine in $R47_WINEPREFIX:" \
            "wait for it to end, or run this in a clone of its own"
    return 1
  fi
  echo "$$" >"$file"
}

r47_session_down() {
  local claim="$R47_WINEPREFIX-locks/session.pid"
  if [ "$(cat "$claim" 2>/dev/null)" = "$$" ]; then rm -f "$claim"; fi
  if [ -n "$R47_WINE_UP" ]; then
    local lane
    for ((lane = 0; lane < R47_LANES; lane++)); do
      WINEPREFIX=$(r47_lane_prefix "$lane") wineserver -k >/dev/null 2>&1 || true
    done
    R47_WINE_UP=""
  fi
  local i
  # Window managers before their displays: the last started goes first.
  for ((i = ${#R47_DISPLAY_PIDS[@]} - 1; i >= 0; i--)); do
    kill "${R47_DISPLAY_PIDS[$i]}" 2>/dev/null || true
    wait "${R47_DISPLAY_PIDS[$i]}" 2>/dev/null || true
  done
  R47_DISPLAY_PIDS=()
}

# A persistent wineserver makes each program start fast; Wine's services are started
# by a first process whose output goes nowhere, so they never hold our pipes open.
# Let a server left by an earlier step go first: only a freshly started one can be
# made persistent.
r47_wine_up() { # prefix display
  export WINEPREFIX=$1 DISPLAY=$2
  timeout 30 wineserver -w || wineserver -k || true
  wineserver -p
  if ! timeout 120 wine cmd /c exit >/dev/null 2>&1 </dev/null; then
    r47_log "Wine does not start programs in $WINEPREFIX; remove it to have it made afresh"
    return 1
  fi
}

# Starts a private Wine session per test lane. Each lane of several gets a display
# of its own, as if it were a PC of its own: tests look at what the screen shows,
# and another lane's window must not cover it. A single lane uses the display that
# is set, or one of its own when none is (or when asked to). Every program runs
# with the system's own SetupAPI: no DLL of the system is replaced or overridden.
r47_session_up() {
  local want_xvfb=${1:-auto} lane displays=()
  r47_session_claim || return 1
  if [ "$R47_LANES" -gt 1 ] || [ "$want_xvfb" = yes ] || [ -z "${DISPLAY:-}" ]; then
    for ((lane = 0; lane < R47_LANES; lane++)); do
      r47_display_up
      displays+=("$R47_NEW_DISPLAY")
    done
  else
    displays=("$DISPLAY")
  fi
  export R47_LANE_DISPLAYS="${displays[*]}"
  r47_wine_shims
  unset WINEDLLOVERRIDES
  export WINEPREFIX=$R47_WINEPREFIX WINEDEBUG=-all DISPLAY=${displays[0]}
  r47_prefix_ensure
  r47_prefix_settings
  timeout 30 wineserver -w || wineserver -k || true
  r47_lanes_prepare
  R47_WINE_UP=1
  for ((lane = R47_LANES - 1; lane >= 0; lane--)); do
    r47_wine_up "$(r47_lane_prefix "$lane")" "${displays[$lane]:-${displays[0]}}" || return 1
  done
}
