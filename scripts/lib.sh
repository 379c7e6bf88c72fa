# Shared by the scripts (sourced, not run): the two builds and which of them this machine runs.
#   windows-x86  the shipped 32-bit build; runs under Wine only where the kernel runs 32-bit code
#   windows-x64  the 64-bit build; runs under Wine's 64-bit loader on every kernel here

zephra_presets=(windows-x86 windows-x64)

# zephra_can_run PRESET: 0 when this machine runs the preset's programs; else prints why, returns 1.
zephra_can_run() {
  scripts/wine-run --can-run "${1#windows-}"
}

# zephra_configure PRESET: configures the build tree once, and again whenever the answer to
# "can this kernel run it" has changed since (the test registration depends on it).
zephra_configure() {
  local preset=$1 dir="build/$1" want
  if zephra_can_run "$preset" >/dev/null; then want=run; else want=skipped; fi
  if [ ! -f "$dir/build.ninja" ] || ! grep -q "^$want" "$dir/wine-tests.txt" 2>/dev/null; then
    cmake --preset "$preset" >/dev/null
  fi
}

# zephra_pick_preset: sets ZEPHRA_PRESET for a script that runs one build: ZEPHRA_ARCH=x86 or x64
# chooses; otherwise the 32-bit build where this kernel runs it, else the 64-bit one. Says which.
zephra_pick_preset() {
  local why
  case "${ZEPHRA_ARCH:-auto}" in
    x86 | x64)
      ZEPHRA_PRESET=windows-$ZEPHRA_ARCH
      if ! why=$(zephra_can_run "$ZEPHRA_PRESET"); then
        echo "ZEPHRA_ARCH=$ZEPHRA_ARCH cannot run here: $why" >&2
        return 1
      fi
      echo "Architecture: ${ZEPHRA_ARCH} (chosen by ZEPHRA_ARCH), build/$ZEPHRA_PRESET"
      ;;
    auto | "")
      if why=$(zephra_can_run windows-x86); then
        ZEPHRA_PRESET=windows-x86
        echo "Architecture: x86, the shipped 32-bit build (build/windows-x86); ZEPHRA_ARCH=x64 picks the 64-bit one"
      else
        ZEPHRA_PRESET=windows-x64
        echo "Architecture: x64, the 64-bit build (build/windows-x64), because $why"
      fi
      ;;
    *)
      echo "ZEPHRA_ARCH must be x86 or x64, not '$ZEPHRA_ARCH'" >&2
      return 1
      ;;
  esac
}
