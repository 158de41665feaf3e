#!/usr/bin/env bash
# The try-it machine as a reader of the README meets it: scripts/try in a Wine
# prefix of its own, then every command of the console blocks of the README and of
# docs/*.md, run from the source tree as shown and compared with the output shown
# ($ULVANE_PORT stands for the server's port, "…" for any text). Then the same machine without
# the control: doctor and the example installers must say so. Last, scripts/try
# --stop must end the server.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
: "${ULVANE_TREE:?the build tree}"
export ULVANE_TREE
export WINEPREFIX=$ULVANE_TREE/try-test
. "$root/scripts/wine-env"
ulvane_choose_tree
if [ "$ulvane_arch" = i686 ] && ! i386_suite; then
  echo "SKIPPED: 32-bit programs, and $(i386_suite_why)"
  exit 77
fi
view=$([ "$ulvane_arch" = x64 ] && echo 64 || echo 32)-bit
readme=$root/README.md
failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}
trap '"$root/scripts/try" --stop >/dev/null 2>&1' EXIT

try_out=$("$root/scripts/try" --no-build 2>&1)
status=$?
echo "$try_out"
[ $status -eq 0 ] || {
  echo "FAILED: scripts/try exited with $status"
  exit 1
}
env_file=$WINEPREFIX/ulvane-try/env
read -r port server_pid <"$WINEPREFIX/ulvane-try/server"
[[ $try_out == *"stand-in server on port $port."* ]] || fail "scripts/try does not print its port $port"

# Runs one command as a reader would, in a shell that sourced the machine's env.
run() { (cd "$root" && bash -c ". '$env_file'; $1" 2>&1 | tr -d '\r'); }

# Whether actual is the expected text, with the port put in and "…" matching anything.
matches() {
  local actual=$1 expected=${2//\$ULVANE_PORT/$port}
  [[ $expected == *…* ]] || {
    [ "$actual" = "$expected" ]
    return
  }
  local pattern=$expected
  pattern=${pattern//\\/\\\\}
  pattern=${pattern//\*/\\*}
  pattern=${pattern//\?/\\?}
  pattern=${pattern//\[/\\[}
  pattern=${pattern//…/*}
  [[ $actual == $pattern ]]
}

check() {
  local command=$1 expected=$2 actual
  actual=$(run "$command")
  matches "$actual" "$expected" || fail "README: \$ $command"$'\n'"--- shown:"$'\n'"$expected"$'\n'"--- got:"$'\n'"$actual"
}

# Every console block of the README and the notes in docs/, in order: "$ command"
# lines and the output each is shown with.
commands=0
in_block="" command="" expected=""
while IFS= read -r line; do
  if [ -z "$in_block" ]; then
    [ "$line" = '```console' ] && in_block=yes
    continue
  fi
  if [ "$line" = '```' ] || [[ $line == '$ '* ]]; then
    [ -z "$command" ] || check "$command" "$expected"
    command="" expected=""
    if [ "$line" = '```' ]; then
      in_block=""
    elif [[ $line != '$ . '*/ulvane-try/env ]]; then  # this machine's env is sourced already
      command=${line#\$ }
      commands=$((commands + 1))
    fi
    continue
  fi
  expected+=${expected:+$'\n'}$line
done < <(cat "$readme" "$root"/docs/*.md)
echo "ran $commands commands of the README and docs/"
[ $commands -gt 0 ] || fail "the README has no console block"

# What scripts/try tells the reader to try is what the README shows.
while IFS= read -r line; do
  grep -Fxq "\$ ${line#  }" "$readme" || fail "scripts/try prints '${line#  }', which the README does not show"
done < <(grep '^  ulvane-call ' <<<"$try_out")

# Without the control: named as such, at once, by doctor and by both example installers.
"$root/scripts/standin-register" --unregister
doctor=$(run 'ulvane-call doctor; echo "exit $?"')
[[ $doctor == *$'\ncontrol registered: FAILED: the control is not registered (class {88F75483-0574-11D0-8085-0000C0BD354B} has no InprocServer32 or LocalServer32 in the '"$view"$' registry)\nserver answers: not checked (the control is not registered)\nexit 1' ]] ||
  fail "doctor without the control:"$'\n'"$doctor"
run 'wine "$ULVANE_TREE/bin/ulvane-example-setup.exe" /S "/LOG=C:\ulvane-try\install.log"; echo "exit $?"' >/dev/null
log=$(tr -d '\r' <"$WINEPREFIX/drive_c/ulvane-try/install.log")
[[ $log == *$'\nFAILED: Cannot talk to the server: the control is not registered (class {88F75483-0574-11D0-8085-0000C0BD354B}); Call failed: '* ]] ||
  fail "the NSIS example without the control:"$'\n'"$log"
[[ $log != *Waiting* ]] || fail "the NSIS example waited for a server it cannot reach"
c_example=$(run 'wine "$ULVANE_TREE/bin/ulvane-example-c.exe" "C:\ulvane-try\ULVAPI.rtn" "C:\ulvane-try\ulvinst.rtn"; echo "exit $?"')
[[ $c_example == *$'\nFAILED: cannot talk to the server: the control is not registered (class {88F75483-0574-11D0-8085-0000C0BD354B}): '*$'\nexit 1' ]] ||
  fail "the C example without the control:"$'\n'"$c_example"

trap - EXIT
"$root/scripts/try" --stop
for _ in $(seq 50); do
  kill -0 "$server_pid" 2>/dev/null || break
  sleep 0.1
done
! kill -0 "$server_pid" 2>/dev/null || fail "the server (process $server_pid) still runs after scripts/try --stop"
# No check of the port itself: a server of another test, started meanwhile, may be given
# the port the stopped one freed, and answer there (once in a few dozen parallel runs).

[ $failures -eq 0 ] && echo "the try-it machine works as the README shows" || echo "$failures check(s) failed"
[ $failures -eq 0 ]
