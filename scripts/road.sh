# Which build this machine runs, sourced by the other scripts.
#
# Road 32: the 32-bit deliverables themselves, under Wine's 32-bit loader.
# Road 64: their 64-bit twin (the same sources for x64) under wine64, for
# machines whose kernel runs no 32-bit programs. The 32-bit deliverables are
# still built there, and checked as files.
#
# TONVALE_ARCH=32 or TONVALE_ARCH=64 forces a road.

wine32_loader=/usr/lib/wine/wine
wine64_loader=/usr/lib/wine/wine64

# Whether the kernel starts a 32-bit program: a 93-byte ELF32 that exits 0.
kernel_runs_32bit() {
  local probe rc=0
  probe=$(mktemp)
  printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000' >"$probe"
  printf '\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000' >>"$probe"
  printf '\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000' >>"$probe"
  printf '\000\000\000\000\001\000\000\000\000\000\000\000\000\200\004\010' >>"$probe"
  printf '\000\200\004\010\135\000\000\000\135\000\000\000\005\000\000\000' >>"$probe"
  printf '\000\020\000\000\270\001\000\000\000\061\333\315\200' >>"$probe"
  chmod +x "$probe"
  "$probe" 2>/dev/null || rc=$?
  rm -f "$probe"
  return $rc
}

wine32_starts() { "$wine32_loader" --version >/dev/null 2>&1; }

# Prints 32 or 64: the forced road, else 32 where Wine's 32-bit loader starts.
pick_road() {
  case "${TONVALE_ARCH:-}" in
    32 | 64) echo "$TONVALE_ARCH" ;;
    "") if wine32_starts; then echo 32; else echo 64; fi ;;
    *) echo "TONVALE_ARCH must be 32 or 64, not '$TONVALE_ARCH'" >&2; return 2 ;;
  esac
}

# Why this machine runs no 32-bit Windows programs, in a few words.
why_no_32bit() {
  if ! kernel_runs_32bit; then
    echo "its kernel has 32-bit support switched off"
  elif [ ! -x "$wine32_loader" ]; then
    echo "Wine's 32-bit loader is not installed"
  else
    echo "Wine's 32-bit loader does not start"
  fi
}

# The one line that says the twin runs here, and why.
say_road() {
  [ "$1" = 64 ] || return 0
  if [ "${TONVALE_ARCH:-}" = 64 ]; then
    echo "tonvale: TONVALE_ARCH=64: running the 64-bit twin under wine64" >&2
  else
    echo "tonvale: this machine runs no 32-bit Windows programs ($(why_no_32bit));" \
      "running the 64-bit twin under wine64 instead" >&2
  fi
}

# Settles the road for this run and everything it starts: says so where it is
# the twin, and exports it as TONVALE_ARCH.
settle_road() {
  local road
  road=$(pick_road) || return
  say_road "$road"
  export TONVALE_ARCH=$road
}
