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
# The options that map the checkout's and build folder's paths away name those paths;
# the objects they give are the same in every clone, so ccache need not hash them.
export CCACHE_IGNOREOPTIONS="${CCACHE_IGNOREOPTIONS:+$CCACHE_IGNOREOPTIONS }-ffile-prefix-map=*"

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
              fonts-droid-fallback xvfb xauth x11-utils openbox imagemagick googletest clang ccache
              zip osslsigncode openssl)

# Whether this machine runs 32-bit x86 programs: R47_RUNS_32BIT is "yes" (natively),
# "emulated" (through qemu-i386, below) or "no". Some virtual machines run 64-bit code
# only (their kernel has no 32-bit mode for programs), and 32-bit Wine fails there with
# "Exec format error". Asked after the packages are in: the probe is 32-bit glibc's
# own loader, run where no binfmt_misc entry can hand it to an emulator (a system-wide
# qemu-user-binfmt would answer for it, and Debian 12's cannot run Wine).
r47_runs_32bit() {
  if [ -z "${R47_RUNS_32BIT:-}" ]; then
    local rc=0
    unshare --user --map-current-user --keep-caps --mount -- sh -c \
      'mount -t binfmt_misc r47probe /proc/sys/fs/binfmt_misc 2>/dev/null || exit 90; exec /lib/ld-linux.so.2 --version' \
      >/dev/null 2>&1 || rc=$?
    # Where no binfmt_misc of our own can be had, the loader is asked directly.
    case $rc in
      1|90) /lib/ld-linux.so.2 --version >/dev/null 2>&1 && rc=0 ;;
    esac
    R47_RUNS_32BIT=no
    [ "$rc" -eq 0 ] && R47_RUNS_32BIT=yes
    export R47_RUNS_32BIT
  fi
  [ "$R47_RUNS_32BIT" != no ]
}

# 32-bit programs on a machine without 32-bit mode: Debian 13's static qemu-i386
# (10.0) runs 32-bit Wine; Debian 12's (7.2) takes MAP_FIXED_NOREPLACE for a hint, and
# Wine fails at start ("failed to map the shared user data: c0000018"). Only the one
# file is taken from the trixie package, fetched with a private apt configuration from
# the mirror of this machine's bookworm entry; apt checks it against the suite's signed
# index. Nothing is installed and the system's sources stay as they are. The file is
# kept in the build folder and in ~/.cache/r47flash, so a later run or clone fetches
# nothing.
R47_EMULATOR_CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/r47flash/emulator
r47_emulator_fetch() { # sets R47_QEMU; returns 1 with the reason on stderr
  R47_QEMU=$R47_BUILD/emulator/qemu-i386
  [ -x "$R47_QEMU" ] && return 0
  mkdir -p "$R47_BUILD/emulator"
  if [ -x "$R47_EMULATOR_CACHE/qemu-i386" ]; then
    cp "$R47_EMULATOR_CACHE/qemu-i386" "$R47_QEMU.part" && mv "$R47_QEMU.part" "$R47_QEMU"
    return
  fi
  local mirror
  mirror=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 2>/dev/null | awk '$2 == "bookworm" { print $1; exit }')
  if [ -z "$mirror" ]; then
    echo "no bookworm entry in this machine's apt sources to take the mirror from" >&2
    return 1
  fi
  local work rc=0
  work=$(mktemp -d "${TMPDIR:-/tmp}/r47-emulator.XXXXXX")
  mkdir -p "$work/lists/partial" "$work/cache/archives/partial"
  : >"$work/status"
  echo "deb $mirror trixie main" >"$work/sources.list"
  local apt=(-o Dir::Etc::SourceList="$work/sources.list" -o Dir::Etc::SourceParts=/nonexistent
             -o Dir::State::Lists="$work/lists" -o Dir::Cache="$work/cache" -o Dir::State::status="$work/status"
             -o APT::Architectures=amd64 -o APT::Sandbox::User="$(id -un)" -o Debug::NoLocking=1 -q)
  if (cd "$work" && apt-get "${apt[@]}" update >"$work/log" 2>&1 && apt-get "${apt[@]}" download qemu-user >>"$work/log" 2>&1 &&
      dpkg-deb --fsys-tarfile qemu-user_*.deb | tar -xf - ./usr/bin/qemu-i386 &&
      ./usr/bin/qemu-i386 --version >/dev/null); then
    cp "$work/usr/bin/qemu-i386" "$R47_QEMU.part" && mv "$R47_QEMU.part" "$R47_QEMU"
    mkdir -p "$R47_EMULATOR_CACHE" && cp "$R47_QEMU" "$R47_EMULATOR_CACHE/qemu-i386.part" &&
      mv "$R47_EMULATOR_CACHE/qemu-i386.part" "$R47_EMULATOR_CACHE/qemu-i386"
  else
    echo "fetching qemu-user from $mirror trixie failed: $(grep -E '^(E|W):' "$work/log" | head -1)" >&2
    rc=1
  fi
  rm -rf "$work"
  return "$rc"
}

# The emulator is registered with binfmt_misc (entry r47flash-i386, flag F: the file is
# opened once, when registered) in a binfmt_misc of our own: a Linux user and mount
# namespace holds it, and only Wine started through the stand-ins below enters it. The
# rest of the machine, other checkouts' runs included, never sees the entry: while it
# is registered, /lib/ld-linux.so.2 starts, and their check for 32-bit mode would be
# fooled. The holder removes the entry when told to or when the script that started it
# is gone, and the namespace ends with its last process.
R47_EMULATOR_ENTRY=r47flash-i386
R47_EMULATOR_PID=""
r47_emulator_holder() { # qemu ready-file owner-pid (runs inside the namespace)
  local entry=/proc/sys/fs/binfmt_misc/$R47_EMULATOR_ENTRY err
  if ! err=$(mount -t binfmt_misc r47flash /proc/sys/fs/binfmt_misc 2>&1); then
    echo "refused: ${err:-mount failed}" >"$2"; return 1
  fi
  # The i386 ELF header, as Debian's qemu-user-binfmt matches it.
  if ! err=$(printf ':%s:M::%s:%s:%s:F' "$R47_EMULATOR_ENTRY" \
      '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00' \
      '\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff' \
      "$1" 2>&1 >/proc/sys/fs/binfmt_misc/register); then
    echo "refused: ${err:-register failed}" >"$2"; return 1
  fi
  trap 'echo -1 >"$entry"; exit 0' TERM INT HUP
  echo ok >"$2"
  while kill -0 "$3" 2>/dev/null; do sleep 1 & wait $!; done
  echo -1 >"$entry"
}

# Where this machine has no 32-bit mode: fetches the emulator and registers it, so that
# R47_RUNS_32BIT becomes "emulated". Where registering is refused, says so in one line
# and leaves R47_RUNS_32BIT at "no". Must run in the script's own shell (not in $(...)).
r47_emulator_up() {
  r47_runs_32bit && return 0
  local why ready
  if ! why=$(r47_emulator_fetch 2>&1); then
    r47_log "no 32-bit emulator: $why; 32-bit programs are not run here"
    return 0
  fi
  R47_QEMU=$R47_BUILD/emulator/qemu-i386
  ready=$(mktemp "${TMPDIR:-/tmp}/r47-emulator.XXXXXX")
  unshare --user --map-current-user --keep-caps --mount -- bash -c \
    "R47_EMULATOR_ENTRY=$R47_EMULATOR_ENTRY; $(declare -f r47_emulator_holder); r47_emulator_holder \"\$@\"" \
    r47-emulator "$R47_QEMU" "$ready" "$$" </dev/null >/dev/null 2>"$ready.err" &
  R47_EMULATOR_PID=$!
  local i
  for i in $(seq 100); do
    [ -s "$ready" ] && break
    kill -0 "$R47_EMULATOR_PID" 2>/dev/null || break
    sleep 0.1
  done
  why=$(cat "$ready" 2>/dev/null; cat "$ready.err" 2>/dev/null)
  rm -f "$ready" "$ready.err"
  if [ "$why" != ok ] ||
     ! nsenter --target "$R47_EMULATOR_PID" --user --mount --preserve-credentials \
         /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
    r47_log "registering the 32-bit emulator with binfmt_misc was refused (${why#refused: }):" \
            "32-bit programs are not run here"
    r47_emulator_down
    return 0
  fi
  R47_RUNS_32BIT=emulated
  export R47_RUNS_32BIT R47_EMULATOR_PID
}

r47_emulator_down() {
  [ -n "$R47_EMULATOR_PID" ] || return 0
  kill "$R47_EMULATOR_PID" 2>/dev/null || true
  wait "$R47_EMULATOR_PID" 2>/dev/null || true
  R47_EMULATOR_PID=""
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
# - On a machine without 32-bit mode they start the 64-bit loader directly: Debian's
#   launcher tries the 32-bit loader first when wine32 is installed. With the emulator,
#   they start it inside the emulator's namespace, where the 64-bit loader hands each
#   32-bit program to the 32-bit one (WINELOADER without its "64"), and so to qemu-i386.
r47_wine_shims() {
  local shim=$R47_BUILD/wine-shims name real norandom=""
  r47_emulator_up
  if setarch "$(uname -m)" -R true 2>/dev/null; then
    norandom="setarch $(uname -m) -R "
  else
    r47_log "address randomisation cannot be turned off here: Wine may fail to start a program" \
            "in about one start in 1600"
  fi
  mkdir -p "$shim"
  for name in wine wine-stable; do
    if [ "$R47_RUNS_32BIT" = yes ]; then
      real=$(PATH=$(printf '%s' "$PATH" | tr ':' '\n' | grep -vx "$shim" | paste -sd:) command -v "$name")
      printf '#!/bin/sh\nexec %s%s "$@"\n' "$norandom" "$real" >"$shim/$name"
    elif [ "$R47_RUNS_32BIT" = emulated ]; then
      printf '#!/bin/sh\nexport WINELOADER=/usr/lib/wine/wine64\nexec nsenter --target %s --user --mount --preserve-credentials %s/usr/lib/wine/wine64 "$@"\n' \
        "$R47_EMULATOR_PID" "$norandom" >"$shim/$name"
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

# Installs what is missing of the packages named (default: all of R47_PACKAGES).
r47_ensure_packages() {
  local wanted=("$@") missing=() p
  [ ${#wanted[@]} -eq 0 ] && wanted=("${R47_PACKAGES[@]}")
  for p in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local need_i386=no
  if [[ " ${missing[*]}" == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    need_i386=yes
  fi
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
# the number of lanes follows what the waits allow, not the number of cores (docs/testing.md has
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
R47_PREFIX_SETTINGS=4
r47_prefix_settings() {
  [ "$(cat "$WINEPREFIX/.r47-settings" 2>/dev/null)" = "$R47_PREFIX_SETTINGS" ] && return 0
  # Captions drawn by Wine itself, so that screenshots look like Windows.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1
  # No virtual desktop: a window manager runs on the test display instead.
  wine reg delete 'HKCU\Software\Wine\Explorer' /v Desktop /f >/dev/null 2>&1 || true
  wine reg delete 'HKCU\Software\Wine\Explorer\Desktops' /f >/dev/null 2>&1 || true
  # Wine's HID bus driver (winebus.sys) polls for HID devices about a thousand times a
  # second in each session's device host: about 2.5 % of a core per lane, measured, for
  # devices that no test has. The simulated handheld and the program never use it.
  wine reg add 'HKCU\Software\Wine\DllOverrides' /v winebus.sys /d '' /f >/dev/null 2>&1
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
  r47_emulator_down
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
  # The lanes' sessions start side by side: each is a wineserver and services of its
  # own, and mostly waits for them (one after another, six took about 27 s).
  local pids=() rc=0 pid
  for ((lane = 0; lane < R47_LANES; lane++)); do
    r47_wine_up "$(r47_lane_prefix "$lane")" "${displays[$lane]:-${displays[0]}}" &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do wait "$pid" || rc=1; done
  return "$rc"
}
