#!/usr/bin/env bash
# The agent watching a UPS, live: the test UPS, the agent and the terminal
# monitor, with nothing reaching the machine itself.
#
#   ./demo.sh                  build what is missing, start the test UPS and
#                              the agent, and watch them with voltmiratop
#                              (q or Ctrl-C ends the demo)
#   ./demo.sh mains off|on     from another terminal: pull or restore the
#                              mains supply of the running demo's test UPS
#   ./demo.sh ups COMMAND...   any other control command of the test UPS,
#                              e.g. "./demo.sh ups set load 105"
#   ./demo.sh --check          the whole demo without a terminal: waits for
#                              the agent to reach the UPS, pulls the mains,
#                              checks that the monitor shows the utility
#                              failure and the countdown, restores the mains
#                              before the deadline (nothing is shut down),
#                              pulls it again and waits for the (recorded)
#                              shutdown; on the way it logs in with
#                              voltmiratop and switches the buzzer and
#                              orders a self-test; exit 0 or 1
#
# The demo's agent knows one user besides root: "demo" with the password
# "demo", the owner of its configuration file and so its administrator.
# Log in with the l key of the monitor, or from another terminal:
#
#   sudo ip netns exec voltmira-demo-PID build/tools/voltmiratop/voltmiratop \
#       --agent 127.0.0.1 --user demo --password-file FILE --do buzzer=off
#
# (./demo.sh prints the exact line; FILE holds the password).
#
# The demo's agent believes its battery lasts 60 seconds and warns every 10
# seconds from the failure on; when the time is up it tells the UPS to
# switch off in 30 seconds and runs the stand-in of the system's shutdown,
# which only records the call.
#
# The agent broadcasts, binds every interface address, creates a System V
# segment and, in the end, runs the system's shutdown.  So it runs inside a
# network namespace of its own (only its loopback is up, so nothing it sends
# leaves it), an IPC and a UTS namespace of its own, and a staged system root
# (VOLTMIRA_SYSROOT) in which shutdown, wall, write, mesg, mail and who are
# stand-ins that only record their calls.  Leaving the demo, by any way,
# ends every process it started (by process id) and removes the namespace
# and the staged root.
#
# Needs root (network namespaces).  The build goes into build/ (another
# directory with VOLTMIRA_BUILD_DIR).
set -uo pipefail
cd "$(dirname "$0")" || exit 1
top=$(pwd)

build_dir=${VOLTMIRA_BUILD_DIR:-build}
case $build_dir in /*) ;; *) build_dir=$top/$build_dir ;; esac
life=60 # the battery life the demo's agent is given, in seconds
demo_uid=4242 # the demo user's number, in the agent's own user database only
state_dir=/run/voltmira-demo
[ -d /run ] && [ -w /run ] || state_dir=/tmp/voltmira-demo

say() { printf '%s\n' "$*"; }
die() {
    printf 'demo: %s\n' "$*" >&2
    exit 1
}

usage() {
    sed -n '2,/^set -uo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//'
}

need_root() {
    [ "$(id -u)" -eq 0 ] && return 0
    command -v sudo >/dev/null 2>&1 || die "needs root (network namespaces), and there is no sudo"
    if [ -n "${VOLTMIRA_BUILD_DIR:-}" ]; then
        exec sudo env VOLTMIRA_BUILD_DIR="$VOLTMIRA_BUILD_DIR" "$top/demo.sh" "$@"
    fi
    exec sudo "$top/demo.sh" "$@"
}

# ---------------------------------------------------------------------------
# Talking to the test UPS of a running demo

# One control command over the test UPS's Unix socket; prints the answer.
# Perl comes with every Debian system; nothing else here speaks to a socket.
ups_control() { # socket, command words...
    local sock=$1
    shift
    perl -MIO::Socket::UNIX -e '
        my $s = IO::Socket::UNIX->new(Type => SOCK_STREAM(), Peer => $ARGV[0])
            or die "cannot reach the test UPS at $ARGV[0]: $!\n";
        print $s "$ARGV[1]\n";
        my $answer = <$s>;
        defined $answer or die "the test UPS gave no answer\n";
        print $answer;
        exit($answer =~ /^OK/ ? 0 : 1);' "$sock" "$*"
}

# The state file of the newest demo that still runs.
running_demo() {
    local f newest=""
    for f in "$state_dir"/*; do
        [ -f "$f" ] || continue
        kill -0 "$(basename "$f")" 2>/dev/null || continue
        [ -z "$newest" ] || [ "$f" -nt "$newest" ] && newest=$f
    done
    printf '%s' "$newest"
}

control_running() { # command words...
    local f sock
    f=$(running_demo)
    [ -n "$f" ] || die "no demo is running (start one with ./demo.sh)"
    sock=$(sed -n 's/^sock=//p' "$f")
    ups_control "$sock" "$@"
}

# ---------------------------------------------------------------------------
# Build

ensure_packages() {
    local packages=(cmake make g++ libgtest-dev libgmock-dev gettext iproute2 libcrypt-dev
        util-linux perl-base openssl)
    local missing=() p
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$p")
    done
    ((${#missing[@]} == 0)) && return 0
    say "== installing: ${missing[*]}"
    apt-get update -qq || return 1
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" || return 1
}

ensure_built() {
    if [ ! -f "$build_dir/CMakeCache.txt" ]; then
        local generator=()
        command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
        say "== configuring $build_dir"
        cmake -S "$top" -B "$build_dir" "${generator[@]}" >/dev/null || return 1
    fi
    # The build tool itself knows what is stale; an up-to-date tree costs a
    # second.
    say "== building voltmirad, upssim, voltmiratop"
    cmake --build "$build_dir" -j "$(nproc 2>/dev/null || echo 2)" \
        --target voltmirad upssim voltmiratop >"$build_dir/demo-build.log" 2>&1 || {
        tail -n 30 "$build_dir/demo-build.log" >&2
        return 1
    }
}

# ---------------------------------------------------------------------------
# The demo's world and its removal

ns=""
root=""
state=""
upssim_pid=""
watch_pid=""

# Ends the processes inside a demo's network namespace (the agent's two,
# and any stand-in it runs at the moment; all started by the demo) by their
# ids, then removes the namespace.
remove_namespace() { # name
    local pid n
    for n in 1 2 3 4 5 6 7 8 9 10; do
        local pids
        pids=$(ip netns pids "$1" 2>/dev/null)
        [ -z "$pids" ] && break
        # The agent takes no notice of SIGTERM; only a kill ends it.
        for pid in $pids; do kill -KILL "$pid" 2>/dev/null; done
        sleep 0.2
    done
    ip netns del "$1" 2>/dev/null
}

cleanup() {
    local rc=$?
    trap - EXIT INT TERM HUP
    [ -n "$watch_pid" ] && kill -TERM "$watch_pid" 2>/dev/null && wait "$watch_pid" 2>/dev/null
    if [ -n "$upssim_pid" ]; then
        kill -TERM "$upssim_pid" 2>/dev/null
        wait "$upssim_pid" 2>/dev/null
    fi
    [ -n "$ns" ] && remove_namespace "$ns"
    [ -n "$root" ] && rm -rf -- "$root"
    [ -n "$state" ] && rm -f -- "$state"
    exit "$rc"
}

# What a demo that was killed outright left: its namespace, processes and
# root, found through its state file.
cleanup_stale() {
    local f
    for f in "$state_dir"/*; do
        [ -f "$f" ] || continue
        kill -0 "$(basename "$f")" 2>/dev/null && continue
        local old_ns old_root old_ups
        old_ns=$(sed -n 's/^ns=//p' "$f")
        old_root=$(sed -n 's/^root=//p' "$f")
        old_ups=$(sed -n 's/^upssim=//p' "$f")
        say "== removing what an ended demo left: $old_ns"
        [ -n "$old_ups" ] && [ "$(cat "/proc/$old_ups/comm" 2>/dev/null)" = upssim ] &&
            kill -TERM "$old_ups" 2>/dev/null
        [ -n "$old_ns" ] && remove_namespace "$old_ns"
        case $old_root in /tmp/voltmira-demo.*) rm -rf -- "$old_root" ;; esac
        rm -f -- "$f"
    done
}

# A stand-in for a system program: records how it was called (and what it
# was given to read), touches nothing.
stand_in() { # path, reads input (0/1)
    {
        printf '#!/bin/sh\n'
        printf '# Demo stand-in: records the call, touches nothing.\n'
        printf '{ printf '\''CALL %%s'\'' "$0"; for a in "$@"; do printf '\'' [%%s]'\'' "$a"; done; printf '\''\\n'\''; } >> %s\n' \
            "$root/calls.log"
        if [ "$2" = 1 ]; then
            printf 'if [ ! -t 0 ]; then timeout 5 cat >> %s; printf '\''\\n'\'' >> %s; fi\n' \
                "$root/calls.log" "$root/calls.log"
        fi
        printf 'exit 0\n'
    } >"$root$1"
    chmod 0755 "$root$1"
}

stage_root() {
    root=$(mktemp -d /tmp/voltmira-demo.XXXXXX) || return 1
    chmod 0755 "$root"
    local d
    for d in /usr /usr/lib /usr/lib/voltmira /usr/bin /etc /dev /sbin /bin /tmp; do
        mkdir -p "$root$d" || return 1
    done
    printf 'voltmira demo\n' >"$root/etc/.ZERURIDO"
    : >"$root/dev/console"
    # No grace period (agent type 4), a short battery, warnings throughout.
    printf '[ UPS ]\nAgentType = 4\nGroup = Demo\n[ ShutDown ]\nEXPECTBLIFE = %d\nFIRSTWARN = 0\nINTERVAL = 10\nTurnOffDelay = 30\n' \
        "$life" >"$root/usr/lib/voltmira/config"
    chmod 0600 "$root/usr/lib/voltmira/config"
    # The agent checks passwords against the user database it sees: in its
    # mount namespace these two files replace the machine's own, which stay
    # untouched.  The owner of the configuration file is its administrator.
    local hash
    hash=$(openssl passwd -6 -salt voltmirademo demo) || return 1
    mkdir -p "$root/.demo" || return 1
    printf 'root:x:0:0:root:/root:/bin/sh\ndemo:x:%d:%d:demo:/tmp:/bin/sh\n' \
        "$demo_uid" "$demo_uid" >"$root/.demo/passwd"
    printf 'root:*:20000:0:99999:7:::\ndemo:%s:20000:0:99999:7:::\n' "$hash" >"$root/.demo/shadow"
    chmod 0644 "$root/.demo/passwd"
    chmod 0600 "$root/.demo/shadow"
    printf 'demo\n' >"$root/.demo/password"
    chmod 0600 "$root/.demo/password"
    chown "$demo_uid:$demo_uid" "$root/usr/lib/voltmira/config" || return 1
    : >"$root/calls.log"
    stand_in /sbin/shutdown 0
    stand_in /usr/bin/wall 1
    stand_in /usr/bin/write 1
    stand_in /usr/bin/mesg 0
    stand_in /bin/mail 1
    stand_in /usr/bin/who 0
}

start_world() {
    mkdir -p "$state_dir" || return 1
    cleanup_stale
    ns=voltmira-demo-$$
    stage_root || die "cannot stage a system root under /tmp"
    state=$state_dir/$$
    printf 'ns=%s\nroot=%s\nsock=%s\n' "$ns" "$root" "$root/ups.sock" >"$state"

    ip netns add "$ns" || die "cannot create the network namespace $ns"
    ip -n "$ns" link set lo up || die "cannot bring up the loopback of $ns"

    # The test UPS needs no network: it sits on a pseudo-terminal whose
    # slave the agent finds at <root>/dev/ttyS0.  It ends with this script.
    VOLTMIRA_SYSROOT=$root "$build_dir/tools/upssim/upssim" --link "$root/dev/ttyS0" \
        --control "$root/ups.sock" --die-with-parent >"$root/upssim.out" 2>&1 &
    upssim_pid=$!
    printf 'upssim=%s\n' "$upssim_pid" >>"$state"
    local n
    for ((n = 0; n < 50; n++)); do
        grep -q '^ready' "$root/upssim.out" 2>/dev/null && break
        kill -0 "$upssim_pid" 2>/dev/null || break
        sleep 0.1
    done
    grep -q '^ready' "$root/upssim.out" 2>/dev/null || {
        cat "$root/upssim.out" >&2
        die "the test UPS did not start"
    }

    # The agent: its own IPC namespace (a private shared segment), UTS
    # namespace (its node name is the agent's name) and mount namespace
    # (the demo's user database), only what it needs in its environment,
    # stand-ins first on its search path.  It detaches; its processes are
    # found again through the namespace.
    ip netns exec "$ns" unshare --ipc --uts --mount --propagation private /bin/sh -c \
        'echo voltmira-demo > /proc/sys/kernel/hostname &&
         mount --bind "$0/.demo/passwd" /etc/passwd &&
         mount --bind "$0/.demo/shadow" /etc/shadow && exec env -i "$@"' "$root" \
        VOLTMIRA_SYSROOT="$root" \
        PATH="$root/usr/bin:$root/bin:$root/sbin:/usr/bin:/bin" \
        "$build_dir/src/voltmirad" || die "the agent did not start (exit status $?)"

    # Up when its port answers.
    for ((n = 0; n < 50; n++)); do
        monitor --once --timeout 1 >/dev/null 2>&1 && return 0
        sleep 0.2
    done
    say "demo: the agent does not answer on 127.0.0.1:4112; what it wrote:" >&2
    cat "$root/dev/console" "$root/.erra" 2>/dev/null | tail -n 20 >&2
    return 1
}

# voltmiratop inside the namespace, watching the agent there.
monitor() {
    ip netns exec "$ns" "$build_dir/tools/voltmiratop/voltmiratop" --agent 127.0.0.1 "$@"
}

# voltmiratop logged in as the demo's administrator, for --do actions.
admin() {
    monitor --user demo --password-file "$root/.demo/password" "$@"
}

# Waits until the monitor's JSON matches a pattern; prints the last JSON.
wait_json() { # pattern, seconds
    local until=$((SECONDS + $2)) json=""
    while ((SECONDS < until)); do
        json=$(monitor --once --json --timeout 2 2>&1)
        if grep -Eq "$1" <<<"$json"; then
            printf '%s\n' "$json"
            return 0
        fi
        sleep 0.5
    done
    printf '%s\n' "$json"
    return 1
}

# ---------------------------------------------------------------------------
# The two ways of running it

# The monitor, watching in the background for the check: it writes its
# whole view, messages included, to a file every second.
watch_in_background() {
    monitor --lang en </dev/null >"$root/monitor.log" 2>&1 &
    watch_pid=$!
}

# Waits until a message text shows in the background monitor's view; prints
# the distinct message lines that match.
wait_message() { # pattern, seconds
    local until=$((SECONDS + $2))
    while ((SECONDS < until)); do
        if grep -Eq "$1" "$root/monitor.log" 2>/dev/null; then
            grep -E "$1" "$root/monitor.log" | awk '!seen[$0]++' | sed 's/^ */   /'
            return 0
        fi
        sleep 0.5
    done
    return 1
}

shutdown_calls() {
    grep -c '/sbin/shutdown' "$root/calls.log" 2>/dev/null
}

run_check() {
    local json fail=0
    say "== waiting for the agent to reach the test UPS"
    # The UPS channel waits 3 s before its search, then polls once a second.
    if json=$(wait_json '"comm": \{"code": 2,' 30); then
        say "   communication established: $(grep -o '"model": "[^"]*"' <<<"$json")," \
            "$(grep -o '"state": {[^}]*}' <<<"$json")"
    else
        say "   FAILED: no established communication; the monitor's last view:"
        printf '%s\n' "$json"
        return 1
    fi
    watch_in_background

    say "== voltmiratop logs in as demo, switches the buzzer and orders a self-test"
    local out
    if out=$(admin --timeout 5 --do buzzer=off --do buzzer=on --do selftest=1 2>&1); then
        sed 's/^/   /' <<<"$out"
    else
        say "   FAILED:"
        sed 's/^/   /' <<<"$out"
        fail=1
    fi
    # The test UPS's self-test takes 10 seconds; the mains stay on meanwhile.
    wait_json '"state": \{"code": 0,' 30 >/dev/null ||
        { say "   FAILED: the self-test did not end" && fail=1; }

    say "== mains off: the countdown of the ${life}-second battery starts"
    ups_control "$root/ups.sock" mains off >/dev/null || return 1
    if json=$(wait_json '"state": \{"code": 33,' 15); then
        say "   the monitor shows $(grep -o '"state": {[^}]*}' <<<"$json")," \
            "input $(grep -o '"input_v": [0-9.]*' <<<"$json" | cut -d' ' -f2) V"
    else
        say "   FAILED: the state did not become utility failure; the monitor's last view:"
        printf '%s\n' "$json"
        fail=1
    fi
    wait_message 'System will be shut down in' 15 ||
        { say "   FAILED: no countdown message reached the monitor" && fail=1; }

    say "== mains on before the deadline: the countdown is called off"
    ups_control "$root/ups.sock" mains on >/dev/null || return 1
    if json=$(wait_json '"state": \{"code": 0,' 15); then
        say "   the monitor shows $(grep -o '"state": {[^}]*}' <<<"$json")"
    else
        say "   FAILED: the state did not return to normal; the monitor's last view:"
        printf '%s\n' "$json"
        fail=1
    fi
    wait_message 'UPS AC Restore' 15 ||
        { say "   FAILED: no restore message reached the monitor" && fail=1; }

    say "== mains off again, until the battery's time is up (about $life s)"
    ups_control "$root/ups.sock" mains off >/dev/null || return 1
    # The agent's loop passes once a second; much more than that is late.
    if wait_message 'Time is up' $((life + 30)) >/dev/null; then
        say "   the monitor's messages, from the first failure on:"
        grep -E '^  [0-9]{2}:[0-9]{2}:[0-9]{2}  ' "$root/monitor.log" | awk '!seen[$0]++' |
            sed 's/^ */   /'
    else
        say "   FAILED: the time never came up"
        fail=1
    fi
    local n
    for ((n = 0; n < 50; n++)); do
        [ "$(shutdown_calls)" -ge 1 ] && break
        sleep 0.2
    done
    sleep 2 # a second call would come within the agent's next pass
    if [ "$(shutdown_calls)" = 1 ]; then
        say "   the system's shutdown was run once: $(grep '/sbin/shutdown' "$root/calls.log")"
    else
        say "   FAILED: the system's shutdown was run $(shutdown_calls) times"
        fail=1
    fi
    local ups_down
    ups_down=$(ups_control "$root/ups.sock" get shutdown)
    case $ups_down in
    "OK pending" | "OK off") say "   the test UPS's output: ${ups_down#OK } (told to switch off in 30 s)" ;;
    *)
        say "   FAILED: the test UPS was not told to switch off ($ups_down)"
        fail=1
        ;;
    esac
    return $fail
}

run_live() {
    say ""
    say "The agent runs in the network namespace $ns, the test UPS beside it."
    local as=""
    [ -n "${SUDO_USER:-}" ] && as="sudo "
    say "In another terminal, pull and restore the mains supply:"
    say ""
    say "    $as$top/demo.sh mains off"
    say "    $as$top/demo.sh mains on"
    say ""
    say "(also e.g. '$as$top/demo.sh ups set load 105' for an overload)."
    say "A mains failure counts down the agent's $life seconds of battery, with a"
    say "warning every 10 seconds; mains back before the end calls it all off."
    say "At the end the agent tells the UPS to switch off and runs the system's"
    say "shutdown: here a stand-in that only records the call (the agent ends"
    say "with it and the monitor loses it)."
    say ""
    say "The monitor's bottom line lists its keys: l logs in (user demo, password"
    say "demo, the agent's administrator), then e.g. t orders a self-test, S a"
    say "shutdown, b/B switch the buzzer.  Or from another terminal, e.g.:"
    say ""
    say "    ${as}ip netns exec $ns $build_dir/tools/voltmiratop/voltmiratop --agent 127.0.0.1 \\"
    say "        --user demo --password-file $root/.demo/password --do eventlog"
    say ""
    say "The monitor starts now; q or Ctrl-C ends the demo and removes it all."
    if [ -t 0 ]; then
        read -r -t 10 -p "Press Enter to start the monitor... " _ || true
    fi
    monitor --lang en
    if [ "$(shutdown_calls)" -ge 1 ]; then
        say "The agent shut the (staged) system down; the stand-ins recorded:"
        sed 's/^/   /' "$root/calls.log"
    fi
}

# ---------------------------------------------------------------------------

case ${1:-} in
-h | --help)
    usage
    exit 0
    ;;
mains)
    [ $# -eq 2 ] && { [ "$2" = on ] || [ "$2" = off ]; } || die "usage: ./demo.sh mains on|off"
    need_root "$@"
    control_running mains "$2"
    exit $?
    ;;
ups)
    [ $# -ge 2 ] || die "usage: ./demo.sh ups COMMAND..."
    need_root "$@"
    shift
    control_running "$@"
    exit $?
    ;;
"" | --check) ;;
*)
    die "unknown argument '$1' (try ./demo.sh --help)"
    ;;
esac

need_root "$@"
ensure_packages || die "cannot install the packages the demo needs"
ensure_built || die "the build failed"
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
start_world || exit 1

if [ "${1:-}" = --check ]; then
    run_check
    rc=$?
    if [ -s "$root/calls.log" ]; then
        say "== the stand-ins were called (times, program):"
        grep -o '^CALL [^ ]*' "$root/calls.log" | sed "s|^CALL $root||" | sort | uniq -c
    fi
    if ((rc == 0)); then say "== check passed"; else say "== check FAILED"; fi
    exit $rc
fi
run_live
