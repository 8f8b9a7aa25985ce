# Sourced by the set-up scripts: installs the named Debian packages that are
# missing, with one apt-get update only when something is.
apt_ensure() {
  local missing=() p
  for p in "$@"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
  [ ${#missing[@]} -eq 0 ] && return 0
  printf 'installing %s\n' "${missing[*]}" >&2
  apt-get update -qq >&2 && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >&2
}
