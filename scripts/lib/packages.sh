# Sourced by the scripts that need Debian packages.
#   ensure_packages WHO PACKAGE...
# installs those of PACKAGE... that are missing (apt-get update first, once),
# saying so on standard error as "WHO: installing ..."; does nothing when all
# are present.
ensure_packages() {
  local who="$1" p
  shift
  local missing=()
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$p")
    fi
  done
  [ "${#missing[@]}" -gt 0 ] || return 0
  echo "$who: installing ${missing[*]}" >&2
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq >&2
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}
