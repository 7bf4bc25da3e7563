#!/usr/bin/env bash
# The command as a Linux tool: `cmake --install` of a build tree into an empty prefix gives bin/,
# lib/brindlecard/, the manual page and the bash completion and nothing else; the installed
# command, started from another folder and through a link, finds its driver libraries and
# formats a virtual card that fsck passes, while a lone copy of it finds none; the manual page
# renders without warnings and names every option the commands' help prints, and the bash
# completion offers them, the commands, an option's listed values and the cards list offers.
#
#   tests/install/installed_command.sh BUILD_DIR
set -u

build=$(readlink -f "${1:?usage: installed_command.sh BUILD_DIR}")
for tool in cmake fsck.fat man groff gzip awk; do
    command -v "$tool" >/dev/null || { echo "skip: $tool is not installed"; exit 77; }
done
scratch=$(mktemp -d "${TMPDIR:-/tmp}/brc-install.XXXXXX") || exit 1
loop_image="" loop_device=""
cleanup() {
    [ -n "$loop_device" ] && losetup -d "$loop_device"
    [ -n "$loop_image" ] && rm -f "$loop_image"
    rm -rf "$scratch"
}
trap cleanup EXIT
# The messages compared below are the English ones; nothing of the build tree on the paths.
unset BRINDLECARD_CARDS LANGUAGE LC_MESSAGES LD_LIBRARY_PATH
export LC_ALL=C PATH=/usr/sbin:/usr/bin:/sbin:/bin

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
ok() { echo "ok: $*"; }

prefix=$scratch/prefix
if ! cmake --install "$build" --prefix "$prefix" >"$scratch/install.log" 2>&1; then
    cat "$scratch/install.log"
    echo "FAIL: cmake --install $build"
    exit 1
fi
exe=$prefix/bin/brindlecard

# ---- the layout: these files, and nothing else (no test program, no library beside bin/)
expected="bin/brindlecard
lib/brindlecard/qhost32.so
lib/brindlecard/qhost32retry.so
lib/brindlecard/quillhost.so
share/bash-completion/completions/brindlecard
share/man/man8/brindlecard.8.gz"
found=$(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort)
[ "$found" = "$expected" ] && ok "installed layout" ||
    fail "installed files differ from the layout: $(diff <(echo "$expected") <(echo "$found") | grep '^[<>]' | tr '\n' ' ')"
[ -x "$exe" ] || fail "bin/brindlecard is not executable"
[ "$(MANPATH=$prefix/share/man man -w 8 brindlecard 2>&1)" = "$prefix/share/man/man8/brindlecard.8.gz" ] &&
    ok "man finds the page under the prefix" || fail "man -w: $(MANPATH=$prefix/share/man man -w 8 brindlecard 2>&1)"

# ---- a format by the installed command from elsewhere, directly and through a link
# format_and_fsck RUN NAME: formats a fresh 1 GiB card (FAT16) in the current folder with RUN,
# checks it with the command itself and fsck.fat on its partition.
format_and_fsck() {
    local run=$1 name=$2 start count said
    rm -f card.img card.img.card part.img
    "$run" card create card.img --size 1G >/dev/null || { fail "$name: card create"; return; }
    said=$("$run" format card.img --yes 2>&1) || { fail "$name: format: $said"; return; }
    said=$("$run" check card.img 2>&1) || { fail "$name: check: $said"; return; }
    start=$(od -An -tu4 -j 454 -N 4 card.img | tr -d ' ')
    count=$(od -An -tu4 -j 458 -N 4 card.img | tr -d ' ')
    dd if=card.img of=part.img bs=1M iflag=skip_bytes,count_bytes skip=$((start * 512)) \
        count=$((count * 512)) conv=sparse status=none || { fail "$name: dd"; return; }
    if said=$(fsck.fat -n part.img 2>&1); then
        ok "$name: formatted, checked and passed by fsck.fat ($(grep -o '[0-9]* files.*' <<<"$said"))"
    else
        fail "$name: fsck.fat -n: $said"
    fi
    rm -f card.img card.img.card part.img
}
mkdir -p "$scratch/elsewhere" "$scratch/links" "$scratch/alone"
cd "$scratch/elsewhere" || exit 1
format_and_fsck "$exe" "installed command"
ln -s "$exe" "$scratch/links/brindlecard"
format_and_fsck "$scratch/links/brindlecard" "through a link"
# A lone copy has no libraries beside it or under its prefix: what the installed one found,
# it found by the rule, not along some search path.
cp "$exe" "$scratch/alone/brindlecard"
"$scratch/alone/brindlecard" card create card.img --size 64M >/dev/null
# Message 220: a required library is not installed.
said=$("$scratch/alone/brindlecard" format card.img --yes --json 2>&1) && fail "a lone copy formatted: $said" ||
    { grep -q '"outcome":"refused","messageId":220,' <<<"$said" && ok "a lone copy finds no driver library" ||
        fail "a lone copy: $said"; }
rm -f card.img card.img.card

# ---- the manual page
page=$prefix/share/man/man8/brindlecard.8.gz
warnings=$(MANWIDTH=80 man -l --warnings "$page" 2>&1 >/dev/null; gzip -dc "$page" | groff -man -ww -z 2>&1)
[ -z "$warnings" ] && ok "the manual page renders without warnings" || fail "manual page warnings: $warnings"
# Wide enough that no option is broken over a line.
rendered=$(MANWIDTH=1000 man -l "$page" 2>/dev/null)
[ "$(head -n 1 <<<"$rendered" | awk '{print $1}')" = "BRINDLECARD(8)" ] || fail "the page is not BRINDLECARD(8)"

# The commands as the help lists them ("card create" with its subcommand), and the options a
# help text names anywhere: usage lines, option lines, prose.
commands=$("$exe" --help | awk '/^Commands:/ { t = 1; next } t && /^$/ { exit }
    t && /^  [a-z]/ { line = $1; for (i = 2; i <= NF && $i ~ /^[a-z]+$/; i++) line = line " " $i; print line }')
[ "$(wc -l <<<"$commands")" -ge 5 ] || fail "too few commands in the help: $commands"
options_in() { grep -oE '(^|[][ (|,])--?[A-Za-z][A-Za-z-]*' | sed -E 's/^[][ (|,]//' | sort -u; }
words_has() { grep -qE -- "(^|[^A-Za-z0-9_-])$1([^A-Za-z0-9_-]|\$)" <<<"$2"; }
for option in $("$exe" --help | options_in); do
    words_has "$option" "$rendered" || fail "the manual page does not name $option (brindlecard --help)"
done

# ---- the bash completion, as bash loads it, answering with the installed command
completion=$prefix/share/bash-completion/completions/brindlecard
# complete WORD...: what the completion offers for the last WORD, one answer a line.
complete_words() {
    PATH=$prefix/bin:$PATH bash -c 'source "$1"; shift
        COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _brindlecard
        printf "%s\n" "${COMPREPLY[@]}"' bash "$completion" brindlecard "$@"
}
[ "$(complete_words fo)" = format ] && ok "brindlecard fo completes to format" ||
    fail "brindlecard fo: $(complete_words fo | tr '\n' ' ')"
[ "$(complete_words "" | sort)" = "$(cut -d' ' -f1 <<<"$commands" | sort)" ] ||
    fail "the commands offered: $(complete_words "" | tr '\n' ' ')"
while IFS= read -r command; do
    read -ra words <<<"$command"
    help=$("$exe" "${words[@]}" --help) || { fail "$command --help"; continue; }
    offered=$(complete_words "${words[@]}" -)
    missing=()
    for option in $(options_in <<<"$help"); do
        words_has "$option" "$rendered" || fail "the manual page does not name $option ($command --help)"
        grep -qxF -- "$option" <<<"$offered" || missing+=("$option")
    done
    [ ${#missing[@]} -eq 0 ] && ok "$command: the manual page and the completion have every option" ||
        fail "$command: the completion does not offer ${missing[*]}"
done <<<"$commands"
# The values an option lists in the help ("-t, --type quick").
types=$("$exe" format --help | sed -nE 's/^  -t, --type ([a-z-]+) .*/\1/p' | sort)
[ -n "$types" ] && [ "$(complete_words format --type "" | sort)" = "$types" ] &&
    [ "$(complete_words format --type = o | sort)" = "$(grep '^o' <<<"$types")" ] &&
    ok "format --type offers $(echo $types)" || fail "format --type offers: $(complete_words format --type "" | tr '\n' ' ')"
# Image paths are files; a card's path from `list` (a loop device with --allow-loop, root only).
touch card.img
[ "$(complete_words format ca)" = card.img ] && ok "image paths complete as files" ||
    fail "format ca: $(complete_words format ca | tr '\n' ' ')"
rm -f card.img
if [ "$(id -u)" -eq 0 ] && command -v losetup >/dev/null; then
    loop_image=$(mktemp "${TMPDIR:-/var/tmp}"/brc-install-card.XXXXXX)
    truncate -s 64M "$loop_image"
    if loop_device=$(losetup -f --show "$loop_image" 2>/dev/null); then
        complete_words format --allow-loop "" | grep -qxF "$loop_device" &&
            ! complete_words format "" | grep -qxF "$loop_device" &&
            ok "format --allow-loop offers $loop_device, which list offers" ||
            fail "the cards offered: $(complete_words format --allow-loop "" | tr '\n' ' ')"
    else
        echo "skip: no loop device for the cards' completion"
    fi
else
    echo "skip: the cards' completion needs root and loop devices"
fi

[ "$failures" -eq 0 ] && echo "all passed" || echo "$failures failed"
exit $((failures != 0))
