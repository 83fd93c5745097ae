#!/usr/bin/env bash
# `objstore ctl`: its own checks (help, usage errors, no published port, a
# port nobody listens on), then the checks against a running container, which
# live in the core test program (it runs a container in-process and execs the
# built tool with the same configuration file).
set -euo pipefail
build=$2
tool="$build/tools/objstore/objstore"
tests="$build/tests/core_CommandInterfaceTest"
work=$(mktemp -d "${TMPDIR:-/tmp}/objstore-ctl-test-XXXXXX")
trap 'rm -rf "$work"' EXIT

fail() {
  echo "ctl test FAILED: $*" >&2
  exit 1
}

[ -x "$tool" ] || fail "tool not built: $tool"
[ -x "$tests" ] || fail "test program not built: $tests"

export OBJSTORE_REGISTRY="$work/registry"

# Runs the tool; sets rc, out and err.
run() {
  set +e
  "$tool" ctl "$@" >"$work/out" 2>"$work/err"
  rc=$?
  set -e
  out=$(cat "$work/out")
  err=$(cat "$work/err")
}

expect() {
  local want_rc=$1 stream=$2 text=$3
  [ "$rc" -eq "$want_rc" ] || fail "exit $rc, expected $want_rc; stderr: $err"
  local content=$out
  [ "$stream" = err ] && content=$err
  grep -qF -- "$text" <<<"$content" || fail "no [$text] in std$stream: $content"
}

run --help
expect 0 out "usage: objstore ctl [--json]"
[ -z "$err" ] || fail "--help wrote to stderr: $err"

run
expect 2 err "no command given"
run --port
expect 2 err "--port needs a number"
run --port 70000 status
expect 2 err "--port needs a number"
run status --bogus
expect 2 err "unknown option '--bogus'"

# No configuration file at all, then a file without the key.
run status
expect 1 err "no command port published: OBS_CMD_PORT is not set in section [Rora] of $work/registry"
printf '[~Rora]\nnEnableDbgCmds=1\n' >"$work/registry"
run status
expect 1 err "no command port published"
printf '[Rora]\nOBS_CMD_PORT=notaport\n' >"$work/registry"
run status
expect 1 err "invalid command port [notaport]"

# A port nobody listens on: bind an ephemeral port, then free it.
if command -v python3 >/dev/null; then
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
else
  port=1  # privileged: no test container can be listening there
fi
printf '[Rora]\n OBS_CMD_PORT = %s \n' "$port" >"$work/registry"
run status
expect 1 err "can't connect to the command port 127.0.0.1:$port: Connection refused"
run counters --port "$port"
expect 1 err "Connection refused"
# After "--" a word that looks like an option is sent as a word: the request
# is still made (and refused here) instead of failing as an unknown option.
run --port "$port" -- command --x
expect 1 err "Connection refused"

# Against a running container.
unset OBJSTORE_REGISTRY
"$tests" --gtest_filter='CtlToolTest.*' >"$work/gtest" 2>&1 || {
  cat "$work/gtest" >&2
  fail "CtlToolTest failed"
}
if grep -q "SKIPPED" "$work/gtest"; then
  cat "$work/gtest" >&2
  fail "CtlToolTest skipped"
fi
grep -q "PASSED.* 5 tests" "$work/gtest" || {
  cat "$work/gtest" >&2
  fail "expected 5 CtlToolTest tests to pass"
}
echo "ctl test passed"
