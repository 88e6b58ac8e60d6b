# Shared locations of the set-up, test and demo scripts (sourced, not run).
# The Wine prefix and the download cache live outside the source tree so that
# every clone of the project on this machine shares them.
QORN_CACHE=${QORN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/qorn}
QORN_BUILD=${QORN_BUILD:-$root/build}
QORN_DEPS=${QORN_DEPS:-$QORN_BUILD/deps}
export WINEPREFIX=${WINEPREFIX:-$QORN_CACHE/wineprefix}
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export QORN_CACHE QORN_BUILD QORN_DEPS
# Wine maps Windows file names to Unix ones through the locale: with UTF-8 the
# client folders' Vietnamese names look the same to Wine and to the Python tools.
export LC_ALL=C.UTF-8
