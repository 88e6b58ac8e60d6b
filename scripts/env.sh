# Shared locations of the set-up, test and demo scripts (sourced, not run).
# The download cache lives outside the source tree, shared by every clone on this
# machine. The Wine prefix belongs to this clone's build: its wineserver serves
# only this clone, so stopping it never ends another clone's tests.
QORN_CACHE=${QORN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/qorn}
QORN_BUILD=${QORN_BUILD:-$root/build}
QORN_DEPS=${QORN_DEPS:-$QORN_BUILD/deps}
export WINEPREFIX=${QORN_WINEPREFIX:-$QORN_BUILD/wineprefix}
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export QORN_CACHE QORN_BUILD QORN_DEPS
# Wine maps Windows file names to Unix ones through the locale: with UTF-8 the
# client folders' Vietnamese names look the same to Wine and to the Python tools.
export LC_ALL=C.UTF-8
