# Sourced: how this machine runs i386 programs, and making it run them.
# Some kernels of the machines we build on have no 32-bit support; there Wine
# runs only under qemu-user 8 or later (7.2 treats MAP_FIXED_NOREPLACE as a
# hint, and Wine's address-space reservation then loops at every start).

BINFMT=/proc/sys/fs/binfmt_misc
QEMU_I386=/usr/bin/qemu-i386
QEMU_MIN_MAJOR=8
# i386 ELF executables and shared objects, any OS ABI.
I386_MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
I386_MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

# The enabled binfmt_misc entry that takes i386 ELF programs; empty when none.
i386_binfmt_entry() {
  local entry magic
  [ -r "$BINFMT/status" ] || return 0
  for entry in "$BINFMT"/*; do
    case ${entry##*/} in register | status) continue ;; esac
    grep -qx enabled "$entry" 2>/dev/null || continue
    magic=$(awk '$1 == "magic" {print $2}' "$entry")
    # ELF, 32-bit, little-endian ... e_machine 3 (i386) in the last two bytes.
    if [[ $magic == 7f454c460101* && ${#magic} -eq 40 && $magic == *0300 ]]; then
      echo "$entry"
      return 0
    fi
  done
}

# The interpreter an entry names.
binfmt_interpreter() { awk '$1 == "interpreter" {print $2}' "$1"; }

# "10.0.2" for a qemu-user binary; empty when it does not run.
qemu_version() {
  [ -n "$1" ] && [ -x "$1" ] || return 0
  { "$1" --version 2>/dev/null || true; } | awk 'NR == 1 {for (i = 1; i <= NF; i++) if ($i == "version") {print $(i + 1); exit}}'
}

version_major() { echo "${1%%.*}"; }

# True when an i386 program starts and exits (by whatever means the kernel uses).
i386_runs() { timeout 60 /lib/ld-linux.so.2 --version >/dev/null 2>&1; }

# One phrase: how i386 programs run here.
i386_mode() {
  local entry version
  entry=$(i386_binfmt_entry)
  if [ -n "$entry" ]; then
    version=$(qemu_version "$(binfmt_interpreter "$entry")")
    if ! i386_runs; then
      echo "not at all (binfmt_misc sends them to $(binfmt_interpreter "$entry"), which fails)"
    elif [ -n "$version" ] && [ "$(version_major "$version")" -ge "$QEMU_MIN_MAJOR" ]; then
      echo "under qemu-user $version (emulated: slower)"
    else
      echo "under qemu-user ${version:-of unknown version}, too old for Wine (needs $QEMU_MIN_MAJOR or later)"
    fi
  elif [ ! -e /lib/ld-linux.so.2 ]; then
    echo "unknown (libc6:i386 is not installed yet)"
  elif i386_runs; then
    echo "natively"
  else
    echo "not at all (this kernel has no 32-bit support)"
  fi
}

i386_fail() {
  echo "install-deps: i386 programs cannot run here: $1" >&2
  exit 1
}

# The URI of the machine's Debian archive (not its security archive), read from
# the apt sources, so the backports suite comes from the same mirror.
debian_archive_uri() {
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk 'BEGIN {RS = ""} /(^|\n)Suites:[^\n]*[ \t]bookworm([ \t]|\n|$)/ {
           if (match($0, /(^|\n)URIs:[ \t]*[^ \t\n]+/)) {
             u = substr($0, RSTART, RLENGTH); sub(/^\n?URIs:[ \t]*/, "", u); print u; exit } }' "$f"
  done
  { cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null || true; } |
    awk '$1 == "deb" && $0 !~ /security/ {for (i = 2; i <= NF; i++) if ($i == "bookworm") {
           u = $(i - 1); if (u !~ /^\[/) {print u; exit}}}'
}

has_backports_source() {
  grep -rqsE '(^|[[:space:]])bookworm-backports([[:space:]]|$)' /etc/apt/sources.list /etc/apt/sources.list.d/
}

add_backports_source() {
  local uri
  has_backports_source && return 0
  uri=$(debian_archive_uri | head -n 1)
  [ -n "$uri" ] || i386_fail "no Debian bookworm source in /etc/apt to take bookworm-backports from; add one, then run make again"
  printf 'Types: deb\nURIs: %s\nSuites: bookworm-backports\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
    "$uri" >/etc/apt/sources.list.d/dormex-bookworm-backports.sources
}

# Installs qemu-user 8 or later from bookworm-backports unless it is there.
install_new_qemu() {
  local version
  version=$(qemu_version "$QEMU_I386")
  if [ -n "$version" ] && [ "$(version_major "$version")" -ge "$QEMU_MIN_MAJOR" ]; then return 0; fi
  add_backports_source
  export DEBIAN_FRONTEND=noninteractive
  # A suite mid-sync (the security mirror's i386 index) fails the update, not
  # the backports install: retried, then from the main suites alone.
  apt_update || true
  apt-get install -y -qq --no-install-recommends -t bookworm-backports qemu-user >/dev/null ||
    install_from_main_suites -t bookworm-backports qemu-user ||
    i386_fail "qemu-user could not be installed from bookworm-backports; try: apt-get install -t bookworm-backports qemu-user"
  version=$(qemu_version "$QEMU_I386")
  if [ -z "$version" ] || [ "$(version_major "$version")" -lt "$QEMU_MIN_MAJOR" ]; then
    i386_fail "$QEMU_I386 is version ${version:-unknown}, Wine needs $QEMU_MIN_MAJOR or later; try: apt-get install -t bookworm-backports qemu-user"
  fi
}

mount_binfmt() {
  [ -w "$BINFMT/register" ] && return 0
  mount -t binfmt_misc binfmt_misc "$BINFMT" 2>/dev/null ||
    i386_fail "binfmt_misc is not available; as root: mount -t binfmt_misc binfmt_misc $BINFMT"
}

register_qemu() {
  local name=qemu-i386
  [ -e "$BINFMT/$name" ] && echo -1 >"$BINFMT/$name"
  printf ':%s:M::%s:%s:%s:F\n' "$name" "$I386_MAGIC" "$I386_MASK" "$QEMU_I386" >"$BINFMT/register" ||
    i386_fail "the kernel refused the binfmt_misc entry for $QEMU_I386"
}

# Leaves i386 programs running, natively or under qemu-user 8+; silent when
# nothing had to change, one line when something did, one line and exit 1 when
# it cannot be done.
ensure_i386() {
  local entry version
  entry=$(i386_binfmt_entry)
  if [ -n "$entry" ]; then
    version=$(qemu_version "$(binfmt_interpreter "$entry")")
    if [ -n "$version" ] && [ "$(version_major "$version")" -ge "$QEMU_MIN_MAJOR" ] && i386_runs; then return 0; fi
    [ "$(id -u)" -eq 0 ] || i386_fail "binfmt_misc sends them to $(binfmt_interpreter "$entry") ${version:-}, older than $QEMU_MIN_MAJOR; run make as root to replace it"
    echo -1 >"$entry"
  elif [ -z "${DORMEX_FORCE_QEMU:-}" ] && i386_runs; then
    return 0
  fi
  if [ -z "${DORMEX_FORCE_QEMU:-}" ] && i386_runs; then
    echo "install-deps: removed the old i386 entry from binfmt_misc; i386 programs run natively"
    return 0
  fi
  local why="this kernel has no 32-bit support"
  [ -n "${DORMEX_FORCE_QEMU:-}" ] && why="forced by DORMEX_FORCE_QEMU"
  [ "$(id -u)" -eq 0 ] || i386_fail "$why, and qemu-user $QEMU_MIN_MAJOR+ is not registered for them; run make as root once to set it up"
  install_new_qemu
  mount_binfmt
  register_qemu
  i386_runs || i386_fail "$QEMU_I386 is registered but an i386 program still does not start"
  echo "i386 programs run under qemu-user $(qemu_version "$QEMU_I386") ($why)"
}
