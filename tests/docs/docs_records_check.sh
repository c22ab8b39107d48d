#!/usr/bin/env bash
# Fails when a record key or a result code of the library is missing from
# its family's page (docs/), or is documented with another type.
#
# Record keys: every key the library sets or reads in an IXData record
# (SetIXDataStr/U32/I32/I64/U64/Bool and SetArray, their Get twins, and the
# small helpers of a file that pass a "const wchar_t*" parameter on as the
# key) must be in a record table of the family's page, with the type of the
# setter or getter: a table whose header begins "| key | type |", one row per
# key (several keys may share a row, separated by commas), types Str, U32,
# I32, I64, U64, Bool or "array" (of records). A row whose key the family's
# code never uses, or whose type the code never uses for that key, fails as
# well. Records are built key by key: there is no generic JSON-to-record
# mapping in service/ (the JSON bridge only parses and turns values into
# text), and the session replies the client receives come decoded from the
# server's own keys, which the library reads by name and so are checked
# through those reads. A set or get whose key is not a literal the reader
# can see fails, so a generic mapping cannot slip in unnoticed.
#
# Result codes: the constants the library defines for clients (enumerators
# of an enum whose name holds RESULT or CODE, constexpr constants named
# kResult..., functions "...Code()" returning a literal), and the constants
# of the outside headers named in the family map (codes passed on
# unchanged, and the local server's codes, which the overview page lists),
# must appear in the first column of the page's error table: the one table
# whose header begins "| code |" and has a column "what the client should
# do". Every page of the map has exactly one.
#
# Usage: docs_records_check.sh <source root>
set -euo pipefail

root=${1:-$(cd "$(dirname "$0")/../.." && pwd)}

# The family map: which page documents which part of the source. A path
# under the source root (a folder with its "/", a file, or the beginning of
# file names) and its page; the longest path that matches a file decides.
# Files outside service/ are read only for their result codes, named in a
# third column: "prefix:P" (constants whose names begin with P) or
# "namespace:N" (the constants of namespace N).
family_map='
service/core/                            docs/errors.md
service/account/                         docs/api-user.md
service/account/Login                    docs/api-account.md
service/meetings/                        docs/api-meetings.md
service/meetings/MeetingRoom             docs/api-session.md
service/session/                         docs/api-session.md
service/transfers/                       docs/api-uploads.md
service/transfers/DownloadPort           docs/api-downloads.md
service/transfers/PicDownload            docs/api-downloads.md
service/transfers/QRCode                 docs/api-downloads.md
service/imgconv/                         docs/api-imgconv.md
service/version/                         docs/updater.md
platform/fetcher/fetcher/HttpDownload.h  docs/api-downloads.md  prefix:kDown
tools/devserver/devserver/Routes.h       docs/errors.md         namespace:ResultCode
tools/devserver/devserver/WsHub.h        docs/errors.md         namespace:WsResult
'

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# file<TAB>page<TAB>rule for every file read; rule "service" for service/.
mapfile -t service_files < <(cd "$root" && find service -name '*.h' -o -name '*.cpp' | sort)
{
    for file in "${service_files[@]}"; do
        printf '%s\tservice\n' "$file"
    done
    awk 'NF == 3 && $1 !~ /^service\// { printf "%s\t%s\n", $1, $3 }' <<<"$family_map"
} | awk -F'\t' -v map="$family_map" '
    BEGIN {
        n = split(map, lines, "\n")
        for (i = 1; i <= n; i++) {
            if (split(lines[i], f, " ") >= 2) { count++; path[count] = f[1]; page[count] = f[2] }
        }
    }
    {
        best = ""; bestLength = 0
        for (i = 1; i <= count; i++) {
            if (substr($1, 1, length(path[i])) == path[i] && length(path[i]) > bestLength) {
                best = page[i]; bestLength = length(path[i])
            }
        }
        printf "%s\t%s\t%s\n", $1, best, $2
    }' >"$work/files"

missing_files=0
while IFS=$'\t' read -r file _ _; do
    if [[ ! -f $root/$file ]]; then
        echo "the family map names $file, which does not exist" >&2
        missing_files=1
    fi
done <"$work/files"
((missing_files == 0)) || exit 1

# What the sources use, one line each:
#   use <file> <line> <key> <type> <set|read>
#   code <file> <line> <name> <value>
#   unreadable <file> <line> <what>
assignments=()
while IFS=$'\t' read -r file _ rule; do
    assignments+=("next_rule=$rule" "next_name=$file" "$root/$file")
done <"$work/files"
awk '
    function flush_file() {
        if (name == "") return
        scan_helpers()
        scan_direct()
        scan_helper_calls()
        scan_codes()
    }
    function line_of(pos,   head) {
        head = substr(text, 1, pos - 1)
        return gsub(/\n/, "", head) + 1
    }
    function emit(kind, pos, a, b, c) {
        printf "%s\t%s\t%d\t%s\t%s\t%s\n", kind, name, line_of(pos), a, b, c
    }
    function type_name(method) {
        if (method ~ /Array$/) return "array"
        sub(/^(Set|Get)IXData/, "", method)
        return method
    }
    # Position of the character that closes the bracket at open, skipping
    # string and character literals; 0 when there is none.
    function closing(open,   depth, i, c, q, n) {
        depth = 0; n = length(text)
        for (i = open; i <= n; i++) {
            c = substr(text, i, 1)
            if (c == "\"" || c == "\047") {
                q = c
                for (i++; i <= n; i++) {
                    c = substr(text, i, 1)
                    if (c == "\\") { i++; continue }
                    if (c == q) break
                }
                continue
            }
            if (c == "(" || c == "{" || c == "[") depth++
            else if (c == ")" || c == "}" || c == "]") { depth--; if (depth == 0) return i }
        }
        return 0
    }
    # Splits the arguments of the call whose "(" is at open into args[1..];
    # returns their number.
    function split_args(open,   shut, depth, i, c, q, start, n) {
        shut = closing(open)
        if (shut == 0) return 0
        n = 0; depth = 0; start = open + 1
        for (i = open + 1; i < shut; i++) {
            c = substr(text, i, 1)
            if (c == "\"" || c == "\047") {
                q = c
                for (i++; i < shut; i++) {
                    c = substr(text, i, 1)
                    if (c == "\\") { i++; continue }
                    if (c == q) break
                }
                continue
            }
            if (c == "(" || c == "{" || c == "[") depth++
            else if (c == ")" || c == "}" || c == "]") depth--
            else if (c == "," && depth == 0) { args[++n] = trim(substr(text, start, i - start)); start = i + 1 }
        }
        args[++n] = trim(substr(text, start, shut - start))
        if (n == 1 && args[1] == "") n = 0
        return n
    }
    function trim(s) {
        gsub(/^[ \t\n]+|[ \t\n]+$/, "", s)
        return s
    }
    # The key of a wide literal argument (L"Key"), or "" when it is not one.
    function literal_key(arg) {
        if (arg !~ /^L"[^"]*"$/) return ""
        return substr(arg, 3, length(arg) - 3)
    }
    # Functions of this file that pass a "const wchar_t*" parameter on as
    # the key of a record: helper[name] = "<how> <type> <index>", with the
    # body span so that the calls inside it are not read as uses.
    function scan_helpers(   rest, base, pos, head, hname, params, np, p, i, open, shut, body, re, m, method) {
        delete helper; nhelpers = 0
        rest = text; base = 0
        while (match(rest, /[A-Za-z_][A-Za-z0-9_]*[ \t\n]*\([^();{}]*\)[ \t\n]*(const[ \t\n]*)?[{]/)) {
            pos = base + RSTART
            head = substr(rest, RSTART, RLENGTH)
            hname = head; sub(/[ \t\n]*\(.*/, "", hname)
            # On past the name only: a match may hold further ones ("if (...) {").
            base += RSTART + length(hname) - 1; rest = substr(rest, RSTART + length(hname))
            params = head; sub(/^[^(]*\(/, "", params); sub(/\)[^)]*$/, "", params)
            np = split(params, p, ",")
            for (i = 1; i <= np; i++) {
                p[i] = trim(p[i]); sub(/[ \t\n]*=.*$/, "", p[i])
                if (p[i] !~ /^const[ \t\n]+wchar_t[ \t\n]*\*[ \t\n]*[A-Za-z_][A-Za-z0-9_]*$/) continue
                sub(/^.*[^A-Za-z0-9_]/, "", p[i])
                open = pos + length(head) - 1
                shut = closing(open)
                if (shut == 0) continue
                body = substr(text, open, shut - open + 1)
                re = "(Set|Get)(IXData(Str|U32|I32|I64|U64|Bool)|Array)[ \t\n]*\\([ \t\n]*" p[i] "[ \t\n]*[,)]"
                if (match(body, re)) {
                    m = substr(body, RSTART, RLENGTH)
                    method = m; sub(/[ \t\n]*\(.*/, "", method)
                    nhelpers++
                    helper_name[nhelpers] = hname
                    helper_how[nhelpers] = substr(method, 1, 3) == "Set" ? "set" : "read"
                    helper_type[nhelpers] = type_name(method)
                    helper_index[nhelpers] = i
                    helper_param[nhelpers] = p[i]
                    helper_def[nhelpers] = pos
                    helper_from[nhelpers] = open
                    helper_to[nhelpers] = shut
                }
            }
        }
    }
    # Set and get calls with their key written out.
    function scan_direct(   rest, base, pos, m, method, open, n, key, h, inside) {
        rest = text; base = 0
        while (match(rest, /(Set|Get)(IXData(Str|U32|I32|I64|U64|Bool)|Array)[ \t\n]*\(/)) {
            pos = base + RSTART
            m = substr(rest, RSTART, RLENGTH)
            base += RSTART + RLENGTH - 1; rest = substr(rest, RSTART + RLENGTH)
            method = m; sub(/[ \t\n]*\($/, "", method)
            open = pos + length(m) - 1
            n = split_args(open)
            key = n > 0 ? literal_key(args[1]) : ""
            if (key != "") {
                emit("use", pos, key, type_name(method), substr(method, 1, 3) == "Set" ? "set" : "read")
                continue
            }
            inside = 0
            for (h = 1; h <= nhelpers; h++)
                if (pos > helper_from[h] && pos < helper_to[h] && n > 0 && args[1] == helper_param[h]) inside = 1
            if (!inside) emit("unreadable", pos, method "(" (n > 0 ? args[1] : "") ", ...)", "", "")
        }
    }
    function scan_helper_calls(   h, rest, base, pos, open, n, key, re) {
        for (h = 1; h <= nhelpers; h++) {
            re = "(^|[^A-Za-z0-9_:.>])" helper_name[h] "[ \t\n]*\\("
            rest = text; base = 0
            while (match(rest, re)) {
                pos = base + RSTART
                open = base + RSTART + RLENGTH - 1
                base += RSTART + RLENGTH - 1; rest = substr(rest, RSTART + RLENGTH)
                if (pos <= helper_def[h] && helper_def[h] <= open) continue
                n = split_args(open)
                key = n >= helper_index[h] ? literal_key(args[helper_index[h]]) : ""
                if (key != "")
                    emit("use", open, key, helper_type[h], helper_how[h])
                else
                    emit("unreadable", open, helper_name[h] "(" (n >= helper_index[h] ? args[helper_index[h]] : "") ")", "", "")
            }
        }
    }
    # The first integer literal of an expression, with its sign.
    function value_of(expr) {
        if (!match(expr, /-?[ \t\n]*(0[xX][0-9A-Fa-f]+|[0-9]+)/)) return ""
        expr = substr(expr, RSTART, RLENGTH)
        gsub(/[ \t\n]/, "", expr)
        return tolower(expr)
    }
    function scan_constants(from, to, prefix,   rest, base, pos, m, cname, value) {
        rest = substr(text, from, to - from + 1); base = from - 1
        while (match(rest, /constexpr[^;=]*[ \t\n][A-Za-z_][A-Za-z0-9_]*[ \t\n]*=[^;]*;/)) {
            pos = base + RSTART
            m = substr(rest, RSTART, RLENGTH)
            base += RSTART + RLENGTH - 1; rest = substr(rest, RSTART + RLENGTH)
            cname = m; sub(/[ \t\n]*=.*$/, "", cname); sub(/^.*[^A-Za-z0-9_]/, "", cname)
            if (prefix != "" && substr(cname, 1, length(prefix)) != prefix) continue
            value = m; sub(/^[^=]*=/, "", value)
            value = value_of(value)
            if (value == "") emit("unreadable", pos, "the value of " cname, "", "")
            else emit("code", pos, cname, value, "")
        }
    }
    function scan_codes(   rest, base, pos, m, ename, open, shut, body, ne, e, i, cname, value, next_value, re, at) {
        if (rule ~ /^prefix:/) { scan_constants(1, length(text), substr(rule, 8)); return }
        if (rule ~ /^namespace:/) {
            re = "namespace[ \t\n]+" substr(rule, 11) "[ \t\n]*[{]"
            if (!match(text, re)) { emit("unreadable", 1, "namespace " substr(rule, 11), "", ""); return }
            open = RSTART + RLENGTH - 1
            scan_constants(open, closing(open), "")
            return
        }
        scan_constants(1, length(text), "kResult")
        rest = text; base = 0
        while (match(rest, /enum[ \t\n]+(class[ \t\n]+)?[A-Za-z_][A-Za-z0-9_]*[^{;]*[{]/)) {
            pos = base + RSTART
            m = substr(rest, RSTART, RLENGTH)
            base += RSTART + RLENGTH - 1; rest = substr(rest, RSTART + RLENGTH)
            ename = m; sub(/^enum[ \t\n]+(class[ \t\n]+)?/, "", ename); sub(/[^A-Za-z0-9_].*$/, "", ename)
            if (toupper(ename) !~ /RESULT|CODE/) continue
            open = pos + length(m) - 1
            shut = closing(open)
            body = substr(text, open + 1, shut - open - 1)
            ne = split(body, e, ",")
            next_value = 0
            at = open + 1
            for (i = 1; i <= ne; i++) {
                pos = at; at += length(e[i]) + 1
                if (match(e[i], /^[ \t\n]+/)) pos += RLENGTH
                e[i] = trim(e[i])
                if (e[i] == "") continue
                cname = e[i]; sub(/[^A-Za-z0-9_].*$/, "", cname)
                if (index(e[i], "=") > 0) {
                    value = e[i]; sub(/^[^=]*=/, "", value); value = value_of(value)
                    if (value == "") { emit("unreadable", pos, "the value of " cname, "", ""); continue }
                    if (value ~ /x/) next_value = ""
                    else next_value = value + 1
                } else {
                    if (next_value == "") { emit("unreadable", pos, "the value of " cname, "", ""); continue }
                    value = next_value; next_value = value + 1
                }
                emit("code", pos, ename "::" cname, value, "")
            }
        }
        rest = text; base = 0
        while (match(rest, /[A-Za-z_][A-Za-z0-9_]*Code[ \t\n]*\([ \t\n]*\)[^{;]*[{][ \t\n]*return[ \t\n]+-?[0-9]+[ \t\n]*;[ \t\n]*[}]/)) {
            pos = base + RSTART
            m = substr(rest, RSTART, RLENGTH)
            base += RSTART + RLENGTH - 1; rest = substr(rest, RSTART + RLENGTH)
            cname = m; sub(/[ \t\n]*\(.*$/, "", cname)
            value = m; sub(/^.*return/, "", value)
            emit("code", pos, cname "()", value_of(value), "")
        }
    }
    FNR == 1 {
        flush_file()
        name = next_name; rule = next_rule; text = ""; in_block = 0
    }
    {
        # The line without comments; literals are kept whole.
        line = $0; out = ""; n = length(line); i = 1; in_literal = 0
        while (i <= n) {
            c = substr(line, i, 1)
            if (in_block) {
                if (substr(line, i, 2) == "*/") { in_block = 0; i += 2; continue }
                i++; continue
            }
            if (in_literal) {
                out = out c
                if (c == "\\") { out = out substr(line, i + 1, 1); i += 2; continue }
                if (c == quote) in_literal = 0
                i++; continue
            }
            if (substr(line, i, 2) == "//") break
            if (substr(line, i, 2) == "/*") { in_block = 1; i += 2; continue }
            if (c == "\"" || c == "\047") { in_literal = 1; quote = c }
            out = out c; i++
        }
        text = text out "\n"
    }
    END { flush_file() }
' "${assignments[@]}" >"$work/uses"

# What the pages document, one line each:
#   row <page> <line> <key> <type>        a row of a record table
#   code <page> <line> <number>           a number in the first column of an error table
#   table <page> <line>                   an error table
#   bad <page> <line> <what>              a row the reader cannot take
mapfile -t pages < <(awk -F'\t' '{ print $2 }' "$work/files" | sort -u)
page_paths=()
for page in "${pages[@]}"; do
    if [[ -z $page ]]; then
        continue
    fi
    if [[ ! -f $root/$page ]]; then
        echo "the family map names $page, which does not exist" >&2
        exit 1
    fi
    page_paths+=("page=$page" "$root/$page")
done
awk '
    function clean(cell) {
        gsub(/[`*"]/, "", cell)
        gsub(/^[ \t]+|[ \t]+$/, "", cell)
        return cell
    }
    FNR == 1 { fenced = 0; table = "" }
    /^[ \t]*```/ { fenced = !fenced; table = ""; next }
    fenced { next }
    /^[ \t]*\|/ {
        line = $0
        gsub(/\\\|/, "\001", line)
        sub(/^[ \t]*\|/, "", line)
        sub(/\|[ \t]*$/, "", line)
        n = split(line, cell, "|")
        for (i = 1; i <= n; i++) cell[i] = clean(cell[i])
        if (table == "") {
            table = "other"
            if (tolower(cell[1]) == "key" && tolower(cell[2]) == "type") table = "record"
            if (tolower(cell[1]) == "code") {
                for (i = 2; i <= n; i++)
                    if (tolower(cell[i]) ~ /^what the client/) table = "errors"
                if (table == "errors") printf "table\t%s\t%d\n", page, FNR
            }
            next
        }
        if (line ~ /^[ \t:|-]+$/) next
        if (table == "record") {
            type = tolower(cell[2]); sub(/[^a-z0-9].*$/, "", type)
            if (type !~ /^(str|u32|i32|i64|u64|bool|array)$/) {
                printf "bad\t%s\t%d\tthe type \"%s\" is none of Str, U32, I32, I64, U64, Bool, array\n", page, FNR, cell[2]
                next
            }
            nk = split(cell[1], keys, ",")
            for (i = 1; i <= nk; i++) {
                key = clean(keys[i])
                if (key !~ /^[A-Za-z_][A-Za-z0-9_]*$/) {
                    printf "bad\t%s\t%d\tthe key \"%s\" is not a name\n", page, FNR, key
                    continue
                }
                printf "row\t%s\t%d\t%s\t%s\n", page, FNR, key, type
            }
        } else if (table == "errors") {
            text = tolower(cell[1])
            while (match(text, /-?(0x[0-9a-f]+|[0-9]+)/)) {
                printf "code\t%s\t%d\t%s\n", page, FNR, substr(text, RSTART, RLENGTH)
                text = substr(text, RSTART + RLENGTH)
            }
        }
        next
    }
    { table = "" }
' "${page_paths[@]}" >"$work/docs"

# The comparison; every line it prints is a fault.
awk -F'\t' -v counts="$work/counts" '
    function canonical(type) {
        if (type == "str") return "Str"
        if (type == "bool") return "Bool"
        if (type == "array") return "array"
        return toupper(type)
    }
    function canonical_list(list,   n, w, i, out) {
        n = split(list, w, " ")
        out = ""
        for (i = 1; i <= n; i++) out = out (i > 1 ? " or " : "") canonical(w[i])
        return out
    }
    function add_word(list, word) {
        return index(" " list " ", " " word " ") ? list : (list == "" ? word : list " " word)
    }
    function has_word(list, word) { return index(" " list " ", " " word " ") > 0 }
    # The forms in which a constant may be written in a table: as in the
    # source, and a hexadecimal one also as its decimal value, unsigned or
    # as a signed 32-bit number.
    function forms(value,   digits, i, v) {
        sub(/[ul]+$/, "", value)
        if (value !~ /^0x/) return value
        digits = substr(value, 3); v = 0
        for (i = 1; i <= length(digits); i++) v = v * 16 + index("0123456789abcdef", substr(digits, i, 1)) - 1
        value = value " " sprintf("%.0f", v)
        if (v >= 2147483648 && v < 4294967296) value = value " " sprintf("%.0f", v - 4294967296)
        return value
    }
    FILENAME == ARGV[1] { page_of[$1] = $2; next }
    FILENAME == ARGV[2] {
        if ($1 == "row") {
            documented[$2, $4] = add_word(documented[$2, $4], $5)
            rows++; row_page[rows] = $2; row_line[rows] = $3; row_key[rows] = $4; row_type[rows] = $5
        } else if ($1 == "code") {
            codes[$2] = add_word(codes[$2], $4)
        } else if ($1 == "table") {
            tables[$2]++
        } else if ($1 == "bad") {
            printf "%s:%d: %s\n", $2, $3, $4
        }
        next
    }
    {
        file = $2; page = page_of[file]
        if ($1 == "unreadable") {
            printf "%s:%d: cannot read the key or value of %s; teach tests/docs/docs_records_check.sh to read it\n", file, $3, $4
            next
        }
        if (page == "") {
            printf "%s:%d: no page documents this file; add it to the family map of tests/docs/docs_records_check.sh\n", file, $3
            next
        }
        if ($1 == "use") {
            keys_read++
            type = tolower($5)
            used[page, $4] = add_word(used[page, $4], type)
            # One report for each key and type of a page, at its first use.
            u = page SUBSEP $4 SUBSEP type
            if (u in use_count) { use_count[u]++; next }
            use_count[u] = 1; uses++
            use_id[uses] = u; use_page[uses] = page; use_key[uses] = $4; use_type[uses] = type
            use_site[uses] = file ":" $3; use_how[uses] = $6 == "set" ? "sets" : "reads"
        } else if ($1 == "code") {
            constants++
            f = forms($5); n = split(f, form, " "); found = 0
            for (i = 1; i <= n; i++) if (has_word(codes[page], form[i])) found = 1
            if (!found)
                printf "%s: result code %s = %s (%s:%d) is not in the error table\n", page, $4, $5, file, $3
        }
    }
    END {
        for (i = 1; i <= uses; i++) {
            page = use_page[i]; key = use_key[i]
            also = use_count[use_id[i]] > 1 ? sprintf(" (and %d more places)", use_count[use_id[i]] - 1) : ""
            if (!((page, key) in documented))
                printf "%s: no record table row for key %s: %s %s it as %s%s\n", page, key, use_site[i], use_how[i], canonical(use_type[i]), also
            else if (!has_word(documented[page, key], use_type[i]))
                printf "%s: key %s is documented as %s, but %s %s it as %s%s\n", page, key, canonical_list(documented[page, key]), use_site[i], use_how[i], canonical(use_type[i]), also
        }
        for (r = 1; r <= rows; r++) {
            page = row_page[r]; key = row_key[r]
            if (!((page, key) in used))
                printf "%s:%d: key %s is in a record table, but no code of the family sets or reads it\n", page, row_line[r], key
            else if (!has_word(used[page, key], row_type[r]))
                printf "%s:%d: key %s is documented as %s, but the code uses it only as %s\n", page, row_line[r], key, canonical(row_type[r]), canonical_list(used[page, key])
        }
        for (file in page_of) {
            page = page_of[file]
            if (page == "" || seen_page[page]++) continue
            if (tables[page] != 1)
                printf "%s: has %d error tables (a table \"| code | ... | what the client should do |\"); expected one\n", page, tables[page]
        }
        printf "%d\t%d\t%d\n", keys_read, constants, rows > counts
    }
' "$work/files" "$work/docs" "$work/uses" >"$work/faults"

read -r uses constants rows <"$work/counts"
faults=$(wc -l <"$work/faults")
cat "$work/faults"
# A reader that no longer understands the sources must not pass quietly.
if ((${uses:-0} == 0 || ${constants:-0} == 0)); then
    echo "read ${uses:-0} key uses and ${constants:-0} result codes from the sources; expected some of each" >&2
    exit 1
fi
echo "checked ${uses} key uses and ${constants} result codes against $((${#page_paths[@]} / 2)) pages (${rows} record table rows)"
if ((faults > 0)); then
    echo "$faults fault(s) between the sources and their pages; see above" >&2
    exit 1
fi
