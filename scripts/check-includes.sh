#!/usr/bin/env bash
# Fails when a source file of the library (or the simulator core) includes a Linux system header.
# Only platform/ (and the host, the tools, and the tests, benchmarks and fuzz targets around them)
# may: the library's sources must stay buildable against the Windows SDK.
set -euo pipefail
cd "$(dirname "$0")/.."

# POSIX and Linux headers; the C and C++ standard headers are fine everywhere.
pattern='^[[:space:]]*#[[:space:]]*include[[:space:]]*<(unistd\.h|fcntl\.h|termios\.h|poll\.h|pthread\.h|netdb\.h|dlfcn\.h|pty\.h|sched\.h|spawn\.h|dirent\.h|pwd\.h|grp\.h|ifaddrs\.h|semaphore\.h|syslog\.h|libgen\.h|glob\.h|fnmatch\.h|mqueue\.h|aio\.h|utmp\.h|sys/|netinet/|arpa/|net/|linux/|asm/|bits/)'

mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.hpp' '*.cc' |
    grep -Ev '^(platform|host|tools|tests|bench|fuzz)/' || true)
status=0
for file in "${files[@]}"; do
    if hits=$(grep -nE "$pattern" "$file"); then
        while IFS= read -r hit; do
            echo "$file:$hit: Linux system header outside platform/" >&2
        done <<<"$hits"
        status=1
    fi
done
if [[ $status -eq 0 ]]; then
    echo "include check: ${#files[@]} library files, no Linux system header"
fi
exit $status
