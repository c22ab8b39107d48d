#!/usr/bin/env bash
# Fails when a name of the library's interface is not documented: every
# exported function (SERVICE_API) with its namespace, every exported class and
# its member functions (ServiceEvent's signals among them), and every request
# kind of core/RequestKind.h. A function or member counts as documented when
# one block of a page of docs/ (a paragraph, table, list or code block)
# names it as a whole word and the block or a heading above it also names its
# family (the namespace path or the class), so a "DoExit" of one family does
# not vouch for another's. Classes and request kinds need only be named
# somewhere. Also fails when README.md does not link a page of docs/.
#
# Usage: docs_names_check.sh <source root>
set -euo pipefail

root=${1:-$(cd "$(dirname "$0")/../.." && pwd)}
service_dir=$root/service
docs_dir=$root/docs

shopt -s nullglob
docs=("$docs_dir"/*.md)
if ((${#docs[@]} == 0)); then
    echo "no pages in $docs_dir" >&2
    exit 1
fi

mapfile -t headers < <(find "$service_dir" -name '*.h' | sort)

# One line per name: what<TAB>family<TAB>name. Scopes are followed by their
# braces, so a class or namespace ends where its own "}" closes it.
extract() {
    awk '
    function scope_path(   i, p) {
        p = ""
        for (i = 1; i <= nscope; i++)
            if (scope_kind[i] == "ns") p = (p == "" ? scope_name[i] : p "::" scope_name[i])
        return p
    }
    function first_call_name(text,   m) {
        if (match(text, /[A-Za-z_][A-Za-z0-9_]*[ \t]*\(/) == 0) return ""
        m = substr(text, RSTART, RLENGTH)
        sub(/[ \t]*\($/, "", m)
        return m
    }
    FNR == 1 { depth = 0; nscope = 0; pending_kind = ""; in_block = 0 }
    {
        line = $0
        if (in_block) {
            if (index(line, "*/") == 0) next
            line = substr(line, index(line, "*/") + 2); in_block = 0
        }
        gsub(/\/\*([^*]|\*+[^*\/])*\*+\//, " ", line)
        if (index(line, "/*") > 0) { line = substr(line, 1, index(line, "/*") - 1); in_block = 1 }
        sub(/\/\/.*/, "", line)
        if (line ~ /^[ \t]*#/) next

        if (match(line, /namespace[ \t]+[A-Za-z_][A-Za-z0-9_]*/)) {
            pending_kind = "ns"
            pending_name = substr(line, RSTART, RLENGTH); sub(/namespace[ \t]+/, "", pending_name)
        } else if (match(line, /class[ \t]+SERVICE_API[ \t]+[A-Za-z_][A-Za-z0-9_]*/)) {
            pending_kind = "class"
            pending_name = substr(line, RSTART, RLENGTH); sub(/class[ \t]+SERVICE_API[ \t]+/, "", pending_name)
            printf "class\t%s\t%s\n", scope_path(), pending_name
        } else if (line ~ /SERVICE_API/) {
            name = first_call_name(line)
            if (name == "") { printf "unreadable\t%s\t%s\n", FILENAME, $0; next }
            printf "function\t%s\t%s\n", scope_path(), name
        } else if (nscope > 0 && scope_kind[nscope] == "class" && depth == scope_depth[nscope]) {
            name = first_call_name(line)
            if (name != "" && name != scope_name[nscope] && line !~ /~|operator|^[ \t]*(return|if|for|while)[ \t(]/)
                printf "member\t%s\t%s\n", scope_name[nscope], name
        }

        n = length(line)
        for (i = 1; i <= n; i++) {
            c = substr(line, i, 1)
            if (c == "{") {
                depth++
                if (pending_kind != "") {
                    nscope++; scope_kind[nscope] = pending_kind
                    scope_name[nscope] = pending_name; scope_depth[nscope] = depth
                    pending_kind = ""
                }
            } else if (c == "}") {
                if (nscope > 0 && scope_depth[nscope] == depth) nscope--
                depth--
            } else if (c == ";" && pending_kind == "class") {
                pending_kind = ""
            }
        }
    }' "$@"
}

mapfile -t entries < <(
    extract "${headers[@]}"
    sed -n 's/^[ \t]*constexpr[ \t]\+unsigned[ \t]\+\(k[A-Za-z0-9_]*\)[ \t]*=.*/kind\tRequestKind\t\1/p' \
        "$service_dir/core/RequestKind.h"
)

# A header change the reader does not understand must not pass silently.
declared=$(cat "${headers[@]}" | sed 's://.*::' | grep -c '^[ \t]*SERVICE_API[ \t]' || true)
functions=0
kinds=0
signals=0
bad=0
for entry in "${entries[@]}"; do
    IFS=$'\t' read -r what family name <<<"$entry"
    case $what in
        unreadable) echo "cannot read an exported name in $family: $name" >&2; bad=1 ;;
        function) functions=$((functions + 1)) ;;
        kind) kinds=$((kinds + 1)) ;;
        member) [[ $family == ServiceEvent ]] && signals=$((signals + 1)) ;;
    esac
done
if ((functions != declared)); then
    echo "read $functions exported functions, but the headers declare $declared" >&2
    bad=1
fi
if ((kinds == 0 || signals == 0)); then
    echo "read $kinds request kinds and $signals ServiceEvent signals; expected some of each" >&2
    bad=1
fi

# Each page cut into its blocks (paragraphs, tables, lists, code blocks: the
# text between blank lines), one file each; a block's file begins with the
# headings above it, so a family named in "## MeetingApi" covers a table in
# "### Page state" below it, while a "DoExit" in a block that names no
# family (and has none in its headings) vouches for nothing. Inside code
# blocks, blank lines do not split and "#" lines are not headings.
blocks_dir=$(mktemp -d)
trap 'rm -rf "$blocks_dir"' EXIT
for page in "${docs[@]}"; do
    awk -v out="$blocks_dir/$(basename "$page")" '
        function begin_block(   i) {
            if (file != "") close(file)
            n++; file = out "." n
            for (i = 1; i <= 6; i++) if (heading[i] != "") print heading[i] > file
        }
        BEGIN { n = 0; file = ""; begin_block() }
        /^```/ { fenced = !fenced }
        !fenced && /^#+[ \t]/ {
            match($0, /^#+/); level = RLENGTH
            heading[level] = $0
            for (i = level + 1; i <= 6; i++) heading[i] = ""
            begin_block()
            next
        }
        !fenced && /^[ \t]*$/ { begin_block(); next }
        { print > file }
    ' "$page"
done
blocks=("$blocks_dir"/*)

# One pass over the blocks: a name is found in a block that holds it as a
# whole word (letters, digits and "_" around it do not count) and, for
# functions and members, also holds its family.
declare -A seen=()
unique=()
for entry in "${entries[@]}"; do
    IFS=$'\t' read -r what family name <<<"$entry"
    [[ $what == unreadable ]] && continue
    key="$what:$family:$name"
    [[ -n ${seen[$key]:-} ]] && continue
    seen[$key]=1
    unique+=("$entry")
done

mapfile -t undocumented < <(
    printf '%s\n' "${unique[@]}" | awk -F'\t' '
        function check_block(   i, n, plain, words, has) {
            if (text == "") return
            plain = text
            gsub(/[^A-Za-z0-9_]+/, " ", plain)
            n = split(plain, words, " ")
            delete has
            for (i = 1; i <= n; i++) has[words[i]] = 1
            for (i = 1; i <= count; i++) {
                if (found[i] || !(name[i] in has)) continue
                if (scoped[i] && index(text, family[i]) == 0) continue
                found[i] = 1
            }
        }
        FILENAME == "-" {
            count++
            what[count] = $1; family[count] = $2; name[count] = $3
            scoped[count] = !($1 == "kind" || $1 == "class" || $2 == "")
            next
        }
        FNR == 1 { check_block(); text = "" }
        { text = text $0 "\n" }
        END {
            check_block()
            for (i = 1; i <= count; i++) {
                if (found[i]) continue
                label = family[i] == "" ? name[i] : family[i] "::" name[i]
                printf "not documented (%s): %s\n", what[i], label
            }
        }
    ' - "${blocks[@]}"
)
missing=${#undocumented[@]}
if ((missing > 0)); then
    printf '%s\n' "${undocumented[@]}"
fi

# The README's index reaches every page.
unlinked=0
for page in "${docs[@]}"; do
    if ! grep -q -F -- "(docs/$(basename "$page"))" "$root/README.md"; then
        echo "not linked from README.md: docs/$(basename "$page")"
        unlinked=$((unlinked + 1))
    fi
done

echo "checked ${#seen[@]} names ($functions exported function declarations, $signals signals, $kinds request kinds) against ${#docs[@]} pages"
if ((missing > 0 || unlinked > 0 || bad)); then
    echo "$missing name(s) missing from docs/, $unlinked page(s) not linked from README.md" >&2
    exit 1
fi
