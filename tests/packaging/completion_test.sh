#!/usr/bin/env bash
# The bash completion against the programs themselves: what it offers for
# the sub-commands, options, actions and --simulate keys must be exactly
# what the programs' --help texts list, so that neither can change without
# the other.
#   completion_test.sh COMPLETION_FILE VEXU_CLI [VEXU_PROGRAMMER]
set -uo pipefail
completion="$1"
cli="$2"
programmer="${3:-}"
failures=0

# shellcheck source=/dev/null
source "$completion"

# COMP_WORDS as bash makes them: split at blanks, and at '=' and ':'
# (COMP_WORDBREAKS), the break characters words of their own.
split_words() {
    local line="$1" word="" c i
    COMP_WORDS=()
    for ((i = 0; i < ${#line}; ++i)); do
        c="${line:i:1}"
        case "$c" in
            " ")
                [[ -n "$word" ]] && COMP_WORDS+=("$word")
                word=""
                ;;
            "=" | ":")
                [[ -n "$word" && "$word" != [=:]* ]] && COMP_WORDS+=("$word") && word=""
                word+="$c"
                ;;
            *)
                [[ "$word" == [=:]* ]] && COMP_WORDS+=("$word") && word=""
                word+="$c"
                ;;
        esac
    done
    COMP_WORDS+=("$word")  # the word under the cursor, maybe empty
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    # After a break character the word under the cursor starts empty.
    if [[ "${COMP_WORDS[COMP_CWORD]}" == [=:]* ]]; then
        COMP_WORDS+=("")
        COMP_CWORD=$((COMP_CWORD + 1))
    fi
}

# The replies for a command line (cursor at its end), sorted, one per line.
complete_line() {
    local function="$1" line="$2"
    COMP_LINE="$line"
    COMP_POINT=${#line}
    split_words "$line"
    COMPREPLY=()
    "$function" 2>/dev/null
    printf '%s\n' "${COMPREPLY[@]}" | sort -u | sed '/^$/d'
}

expect_same() {
    local what="$1" expected="$2" actual="$3"
    if [[ "$expected" != "$actual" ]]; then
        echo "FAIL: $what"
        diff <(echo "$expected") <(echo "$actual") | sed 's/^/  /'
        failures=$((failures + 1))
    else
        echo "ok: $what"
    fi
}

expect_contains() {
    local what="$1" wanted="$2" actual="$3"
    if ! grep -qxF -- "$wanted" <<<"$actual"; then
        echo "FAIL: $what: \"$wanted\" not offered; offered:"
        sed 's/^/  /' <<<"$actual"
        failures=$((failures + 1))
    else
        echo "ok: $what"
    fi
}

# The options of a CLI11 help text ("  -h,--help  ...", "  --simulate [=KEYS]  ...").
help_options() {
    awk '/^Options:/ { on = 1; next } /^[A-Z]/ { on = 0 } on && /^  -/ { print $1, $2 }' |
        while read -r names rest; do
            IFS=, read -ra list <<<"$names"
            for name in "${list[@]}"; do
                [[ "$rest" == "[="* ]] && name="$name="
                echo "$name"
            done
        done | sort -u
}

# The sub-commands of a CLI11 help text.
help_commands() {
    awk '/^Subcommands:/ { on = 1; next } /^[A-Z]/ { on = 0 } on && /^  [a-z]/ { print $1 }' | sort -u
}

# The scenario keys of a --simulate help: "key=FORM" as "key=", "key[=P]"
# and bare flags as "key".
help_keys() {
    awk '/Scenario keys/ { on = 1; next } /^Subcommands:/ { on = 0 } on' |
        grep -E '^ +[a-z][a-z0-9-]*(=[^ ]+|\[=[^ ]+\])? {2,}' | awk '{ print $1 }' |
        sed -E 's/\[=.*//; s/=.*/=/' | sort -u
}

cli_help="$("$cli" --help)"
globals="$(help_options <<<"$cli_help")"
commands="$(help_commands <<<"$cli_help")"
keys="$(help_keys <<<"$cli_help")"
[[ -n "$globals" && -n "$commands" && $(wc -l <<<"$keys") -gt 40 ]] || {
    echo "FAIL: the help text of $cli did not parse"
    exit 1
}

expect_same "vexu-cli: commands and global options" "$(sort -u <<<"$commands"$'\n'"$globals")" \
    "$(complete_line _vexu_cli "vexu-cli ")"
expect_same "vexu-cli run: its options and the global ones" \
    "$(sort -u <<<"$(help_options <<<"$("$cli" run --help)")"$'\n'"$globals")" \
    "$(complete_line _vexu_cli "vexu-cli run -")"
expect_same "vexu-cli image: its commands" "$(help_commands <<<"$("$cli" image --help)")" \
    "$(complete_line _vexu_cli "vexu-cli image ")"
expect_same "vexu-cli settings: its commands" "$(help_commands <<<"$("$cli" settings --help)")" \
    "$(complete_line _vexu_cli "vexu-cli --json settings ")"
expect_same "vexu-cli image build: its options" \
    "$(help_options <<<"$("$cli" image build --help)" | grep -vxE -- '-h|--help')" \
    "$(complete_line _vexu_cli "vexu-cli image build -")"
if "$cli" report --help >/dev/null 2>&1; then
    expect_same "vexu-cli report: its options" \
        "$(help_options <<<"$("$cli" report --help)" | grep -vxE -- '-h|--help')" \
        "$(complete_line _vexu_cli "vexu-cli report history -")"
    expect_same "vexu-cli report --format: its forms" "csv
json
table" "$(complete_line _vexu_cli "vexu-cli report --format ")"
fi
actions="$("$cli" action --help | grep -o 'Actions: .*' | sed 's/^Actions: //' | tr -d ' ' | tr ',' '\n' | sort -u)"
expect_same "vexu-cli action: the engine's actions" "$actions" \
    "$(complete_line _vexu_cli "vexu-cli action program " | grep -v '^-')"
expect_same "vexu-cli --simulate=: every scenario key" "$keys" "$(complete_line _vexu_cli "vexu-cli --simulate=")"
# Bash replaces what follows the last '=': the keys given before stay.
expect_same "a key after others keeps the others" "M25P20,flash-erase-polls=" \
    "$(complete_line _vexu_cli "vexu-cli --simulate=flash=M25P20,flash-erase-p")"
expect_same "a key's value" "M25P20
M25P40
M25P80" "$(complete_line _vexu_cli "vexu-cli --simulate=latency-us=5,flash=M25")"
expect_contains "the run options after --simulate=" "--station" "$(complete_line _vexu_cli "vexu-cli --simulate=unplugged run --st")"
expect_contains "files for --report-log" "$completion" \
    "$(complete_line _vexu_cli "vexu-cli --report-log ${completion%/*}/v")"

if [[ -n "$programmer" ]]; then
    programmer_help="$("$programmer" --help)"
    expect_same "vexu-programmer: its options" \
        "$(grep -oE '^  (-h, )?--?[a-z]+(\[?=)?' <<<"$programmer_help" | tr -d ' [' | tr ',' '\n' | sort -u)" \
        "$(complete_line _vexu_programmer "vexu-programmer -")"
    expect_same "vexu-programmer --simulate=: the same keys" "$(help_keys <<<"$programmer_help")" \
        "$(complete_line _vexu_programmer "vexu-programmer --simulate=")"
fi

if ((failures)); then
    echo "$failures failed"
    exit 1
fi
echo "all passed"
