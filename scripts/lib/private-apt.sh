# Sourced by the scripts that read Debian suites or source packages the machine's apt setup does not list.
# They use a source list, lists folder and archive folder of their own, so that setup is left untouched.

# The mirror this machine already uses for its main archive.
debian_mirror() {
  local mirror
  mirror=$(apt-cache policy | awk '$1 ~ /^[0-9]+$/ && $3 !~ /-(security|updates|backports)\// && $2 ~ /^https?:/ {print $2; exit}')
  [ -n "$mirror" ] || { echo "no Debian mirror found in the apt configuration" >&2; return 1; }
  echo "$mirror"
}

# The mirror this machine uses for Debian's security updates, empty when its apt configuration has none.
debian_security_mirror() {
  apt-cache policy | awk '$1 ~ /^[0-9]+$/ && $3 ~ /-security\// && $2 ~ /^https?:/ {print $2; exit}'
}

# private_apt DIR SOURCES_LINE...: lays out DIR for apt and sets the array private_apt_opts, to be passed to
# apt-get and apt-cache, so that they read only the SOURCES_LINEs with lists kept in DIR.
private_apt() {
  local dir=$1
  mkdir -p "$dir/lists/partial" "$dir/parts" "$dir/archives/partial"
  printf '%s\n' "${@:2}" >"$dir/sources.list"
  private_apt_opts=(-o "Dir::Etc::sourcelist=$dir/sources.list" -o "Dir::Etc::sourceparts=$dir/parts"
                    -o "Dir::State::lists=$dir/lists" -o "Dir::Cache::archives=$dir/archives"
                    -o "APT::Get::List-Cleanup=0")
  # As root, apt hands downloads to its own user, who cannot write into a folder of root's.
  [ "$(id -u)" -ne 0 ] || private_apt_opts+=(-o "APT::Sandbox::User=root")
}
