#!/bin/sh
# The generated luacheck configuration on scripts: every example is clean; a
# script that uses every kind of global the plugin gives is clean; each
# misspelt or misused global is reported by name.
#
# luacheck-test.sh LUACHECKRC EXAMPLES WORK
set -eu
config=$1 examples=$2 work=$3

fail() { echo "luacheck-test: $*" >&2; exit 1; }
check() { luacheck --no-color --codes --config "$config" "$@"; }

rm -rf "$work"
mkdir -p "$work"
[ -s "$config" ] || fail "no configuration at $config"

count=0
for script in "$examples"/*.lua; do
    check "$script" > "$work/out" || { cat "$work/out" >&2; fail "$script is not clean"; }
    count=$((count + 1))
done
[ "$count" -gt 0 ] || fail "no example scripts in $examples"

# Every handler defined, every lpp function called, constants of each group
# read: clean.
cat > "$work/clean.lua" <<'LUA'
function ProcessAgentEvent(event)
    if event == LPP_EVENT_UPDATE_INIT then lpp.debug(LPP_PATH_CONFIG) end
end
function ProcessFlowEvent(event, flows)
    if event == LPP_EVENT_FLOW_NEW and flows[1].ip_protocol == LPP_IPPROTO_TCP then
        lpp.print(LPP_ADDRTYPE_LOCAL, LPP_OTHER_REMOTE)
    end
end
function ProcessFlowMap(flows)
    lpp.dispatch("target", {"channel"}, tostring(#flows), LPP_FORMAT_JSON, LPP_COMPRESSOR_GZIP)
end
function ProcessFlowStats(flows)
    local worker, workers = lpp.worker()
    return #flows + worker + workers
end
LUA
check "$work/clean.lua" > "$work/out" || { cat "$work/out" >&2; fail "a script using the plugin's globals is not clean"; }

# Each case: a line of script, then the finding the report must hold.
case_number=0
while IFS='|' read -r line expected; do
    case_number=$((case_number + 1))
    printf 'function ProcessFlowEvent(event, flows)\n    %s\nend\n' "$line" > "$work/case$case_number.lua"
    if check "$work/case$case_number.lua" > "$work/out"; then
        fail "not reported: $line"
    fi
    grep -qF "$expected" "$work/out" || { cat "$work/out" >&2; fail "the report of '$line' lacks: $expected"; }
done <<'CASES'
if event == LPP_EVENT_FLOW_NEWW then return end|(W113) accessing undefined variable 'LPP_EVENT_FLOW_NEWW'
lpp.dispach("target", {}, tostring(#flows))|(W143) accessing undefined field 'dispach' of global 'lpp'
LPP_EVENT_FLOW_NEW = 3|(W121) setting read-only global variable 'LPP_EVENT_FLOW_NEW'
lpp.print = print|(W122) setting read-only field 'print' of global 'lpp'
ProcessFlowEvents = ProcessFlowEvent|(W111) setting non-standard global variable 'ProcessFlowEvents'
CASES
[ "$case_number" -eq 5 ] || fail "ran $case_number cases"
echo "luacheck-test: $count examples clean, $case_number mistakes reported"
