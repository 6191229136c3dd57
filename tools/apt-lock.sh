# Sourced by the scripts that call apt-get. The test run's stages go two at a time, and apt-get
# gives up at once, rather than wait, when another apt-get holds its locks; so every call of ours
# takes this lock first and waits its turn.
apt_lock=${CORVINA_APT_LOCK:-/var/lock/corvina-apt.lock}
with_apt_lock() { flock "$apt_lock" "$@"; }
