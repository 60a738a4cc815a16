# SPDX-License-Identifier: MIT
# Sourced by the initramfs-tools hook and the dracut module of evwait-recovery
# (POSIX sh; installed as /usr/share/evwait-recovery/initramfs-action.sh).
#
# evwait_recovery_action_files ACTION PATHS
#   What an initramfs must hold for the gate's ACTION to run there, looking
#   programs up in PATHS (folders separated by colons or blanks). Prints one
#   line per file, "exec SOURCE TARGET" (an executable: copy it with its
#   libraries) or "file SOURCE TARGET" (a file a script reads), and returns 0;
#   nothing for "shell". Returns 1, printing only why, for an action the image
#   cannot be known to hold: it is then better left out than failing at boot.
#
# An action is a program (an absolute path, or a name found in PATHS, or a
# shell builtin) with plain arguments: no pipeline, list, redirection, quoting
# or expansion. An ELF program is copied with what ldd shows it links. A shell
# script is copied with its interpreter (/bin/sh is every initramfs's own),
# the files it sources and every program in a command position of its text,
# followed through the scripts among them; any of those not found, a command
# named by an expansion, eval or sh -c of an expansion, a here-document that
# runs commands, or a script of any other interpreter refuses the action. What
# an ELF program runs by itself cannot be seen.

evwait_recovery_builtins=' : . [ alias bg break builtin cd command continue declare echo eval exec exit export
false fg getopts hash jobs kill let local printf pwd read readonly return set shift source test times trap true
type typeset ulimit umask unalias unset wait '
evwait_recovery_keywords=' ! { } case do done elif else esac fi for function if in select then time until while
[[ ]] '

# Prints what a shell script's text runs, one line each: "cmd WORD" (a word in
# a command position; a name with quotes or an expansion is "cannot"),
# "func NAME" (a function it defines), "source FILE" (read with . or source,
# or run with sh FILE), "cannot WHY". The code given to trap, eval and sh -c
# is read the same way.
# It reads the text a character at a time. ctx[d] is what it is inside: "c"
# the script, "(" a subshell, "$" a $( ) or <( ), "`" backquotes (these three
# are commands, and keep the word they interrupt in s*[d]); "d" double quotes,
# "b" ${ }, "a" $(( )) and "A" (( )), whose parentheses pa[d] counts. The word
# being read: w its text without quotes, u its part before any quote or
# expansion (for NAME=value), q whether it has quotes, x an expansion. cp: the
# next word is in a command position. mode: what the next words are ("for"
# until do, "casew" until in, "pat" case patterns, "brk" inside [[ ]], "src"
# a sourced file, "code" code of eval or sh -c, "trap", "shell" the options
# of sh, "wrap" the options of a program that runs the next word, "func" a
# function name). redir: the next word is where a redirection goes, a
# here-document delimiter when hd is set (2: <<-).
evwait_recovery_lexer='
function reset_word() { w = ""; u = ""; q = 0; x = 0; inw = 0 }
function push(t) {
	d++; ctx[d] = t
	if (t == "$" || t == "`" || t == "(") {
		sw[d] = w; su[d] = u; sq[d] = q; sx[d] = x; sinw[d] = inw
		scp[d] = cp; smode[d] = mode; sredir[d] = redir
		reset_word(); cp = 1; mode = ""; redir = 0
	}
}
function pop(   t) {
	t = ctx[d]
	if (t == "$" || t == "`" || t == "(") {
		finish()
		w = sw[d]; u = su[d]; q = sq[d]; x = sx[d]; inw = sinw[d]
		cp = scp[d]; mode = smode[d]; redir = sredir[d]
		if (t == "(") cp = 0; else { x = 1; inw = 1 }
	}
	if (t == "A") cp = 0
	d--
}
function code(s) { if (x) print "cannot runs code made by an expansion (" what ")"; else codes[++ncodes] = s }
function command(W) {
	cp = 0
	if (x) { print "cannot runs a command named by an expansion"; return }
	print "cmd " W; what = W; justcmd = 1
	if (W == "." || W == "source") mode = "src"
	else if (W == "eval") mode = "code"
	else if (W == "trap") mode = "trap"
	else if (W ~ /^(exec|command|builtin|env|nice|nohup|timeout|xargs|setsid|stdbuf|ionice|flock)$/) mode = "wrap"
	else if (W ~ /(^|\/)(sh|dash|bash|ash|ksh|mksh)$/) mode = "shell"
}
function finish(   W, kw) {
	if (!inw) return
	W = w; kw = !q && !x
	if (redir) {
		if (hd) { hdel[++nh] = W; hquoted[nh] = q; hdash[nh] = hd == 2; hd = 0 }
		redir = 0
	} else if (mode == "for") { if (kw && W == "do") { mode = ""; cp = 1 } }
	else if (mode == "casew") { if (kw && W == "in") mode = "pat" }
	else if (mode == "pat") { if (kw && W == "esac") { mode = ""; cp = 0 } }
	else if (mode == "brk") { if (kw && W == "]]") mode = "" }
	else if (mode == "func") { print "func " W; mode = ""; cp = 1 }
	else if (mode == "src") {
		mode = ""
		if (x) print "cannot reads a file named by an expansion"; else print "source " W
	} else if (mode == "code") { mode = ""; code(W) }
	else if (mode == "trap") {
		if (W != "--") mode = ""
		if (W != "--" && W !~ /^-/ && W != "") code(W)
	} else if (mode == "shell") {
		if (W ~ /^-/) { if (kw && W ~ /^-[a-z]*c/) mode = "code" }
		else { mode = ""; if (x) print "cannot runs a script named by an expansion"; else print "source " W }
	} else if (mode == "wrap" && kw && (W ~ /^-/ || W ~ /^[0-9][0-9.]*[a-z]?$/ || W ~ /^[A-Za-z_][A-Za-z0-9_]*=/)) {
	} else if (mode == "wrap") { mode = ""; command(W) }
	else if (cp) {
		if (u ~ /^[A-Za-z_][A-Za-z0-9_]*=/) ;
		else if (kw && W ~ /^(if|then|else|elif|do|while|until|!|\{|time)$/) ;
		else if (kw && W ~ /^(fi|done|esac|\}|\]\])$/) { cp = 0; if (W == "esac") mode = "" }
		else if (kw && W == "case") mode = "casew"
		else if (kw && (W == "for" || W == "select")) mode = "for"
		else if (kw && W == "function") mode = "func"
		else if (kw && W == "[[") mode = "brk"
		else command(W)
	}
	reset_word()
}
# At a "$" or a backquote at i: what it opens. Returns where the scan goes on.
function dollar(s, i,   c2) {
	x = 1; inw = 1
	if (substr(s, i, 1) == "`") { push("`"); return i }
	c2 = substr(s, i + 1, 1)
	if (c2 == "(" && substr(s, i + 2, 1) == "(") { push("a"); pa[d] = 2; return i + 2 }
	if (c2 == "(") { push("$"); return i + 1 }
	if (c2 == "{") { push("b"); return i + 1 }
	return i
}
# After a line: the bodies of its here-documents. Returns where the scan goes on.
function heredocs(s, i,   k, e, line) {
	for (k = 1; k <= nh; k++) {
		while (i < length(s)) {
			e = index(substr(s, i + 1), "\n")
			line = e ? substr(s, i + 1, e - 1) : substr(s, i + 1)
			i += e ? e : length(s)
			if (hdash[k]) sub(/^\t+/, "", line)
			if (line == hdel[k]) break
			if (!hquoted[k] && line ~ /\$\(|`/) print "cannot has a here-document that runs commands"
		}
	}
	nh = 0
	return i
}
function scan(s,   n, i, c, c2, t, j) {
	d = 0; ctx[0] = "c"; cp = 1; mode = ""; redir = 0; hd = 0; nh = 0; reset_word()
	n = length(s)
	for (i = 1; i <= n; i++) {
		c = substr(s, i, 1); c2 = substr(s, i + 1, 1); t = ctx[d]
		if (c != " " && c != "\t" && c != "(" && t != "d" && t != "b") justcmd = 0
		if (t == "d" || t == "b") {
			if ((t == "d" && c == "\"") || (t == "b" && c == "}")) d--
			else if (c == "\\") { i++; if (t == "d") w = w c2 }
			else if (c == "$" || c == "`") i = dollar(s, i)
			else if (t == "b" && c == "\"") push("d")
			else if (t == "b" && c == "\047" && ctx[d - 1] != "d") { j = index(substr(s, i + 1), "\047"); i += j }
			else if (t == "d") w = w c
			continue
		}
		if (t == "a" || t == "A") {
			if (c == "(") pa[d]++
			else if (c == ")") { if (--pa[d] == 0) pop() }
			else if (c == "$" || c == "`") i = dollar(s, i)
			continue
		}
		if (c == " " || c == "\t") finish()
		else if (c == "\n") {
			finish(); i = heredocs(s, i)
			if (mode != "for" && mode != "casew" && mode != "pat") { mode = ""; cp = 1 }
			redir = 0
		} else if (c == "#" && !inw) { j = index(substr(s, i), "\n"); i += j ? j - 2 : n }
		else if (c == "\\") {
			i++
			if (c2 != "\n") { w = w c2; q = 1; inw = 1 }
		} else if (c == "\047") {
			j = index(substr(s, i + 1), "\047")
			if (!j) { print "cannot has a quote that does not end"; return }
			w = w substr(s, i + 1, j - 1); q = 1; inw = 1; i += j
		} else if (c == "\"") { q = 1; inw = 1; push("d") }
		else if (c == "$") { i = dollar(s, i) }
		else if (c == "`") { if (t == "`") pop(); else i = dollar(s, i) }
		else if (c == "(") {
			if (mode == "pat") continue
			if (((inw && !q && !x) || justcmd) && match(substr(s, i + 1), /^[ \t]*\)/)) {
				print "func " (inw ? w : what); reset_word(); mode = ""; cp = 1; i += RLENGTH
			} else if (inw) { push("a"); pa[d] = 1 }
			else if (c2 == "(") { push("A"); pa[d] = 2; i++ }
			else push("(")
		} else if (c == ")") {
			finish()
			if (mode == "pat") { mode = ""; cp = 1 }
			else if (t == "(" || t == "$") pop()
		} else if (c == ";") {
			finish()
			if (c2 == ";") { i++; mode = "pat" }
			else if (mode != "for") { mode = ""; cp = 1 }
		} else if (c == "&" && c2 != ">") {
			finish(); if (c2 == "&") i++
			if (mode != "brk") { mode = ""; cp = 1 }
		} else if (c == "|") {
			finish()
			if (c2 == "|" || c2 == "&") i++
			if (mode != "pat" && mode != "brk") { mode = ""; cp = 1 }
		} else if (c == "<" || c == ">" || c == "&") {
			if (inw && !q && !x && w ~ /^[0-9]+$/) reset_word(); else finish()
			if (c2 == "(") { push("$"); i++; continue }
			if (c == "<" && c2 == "<" && substr(s, i + 2, 1) != "<") {
				i++; hd = 1
				if (substr(s, i + 1, 1) == "-") { i++; hd = 2 }
			} else while (substr(s, i + 1, 1) ~ /[<>&|]/) i++
			redir = 1
		} else { w = w c; if (!q && !x) u = u c; inw = 1 }
	}
	finish()
	if (d > 0) print "cannot has a quote or bracket that does not end"
}
{ text = text $0 "\n" }
END {
	scan(text)
	for (k = 1; k <= ncodes; k++) scan(codes[k])
}
'

# Where a program found at $1 goes in the image: where the initramfs's PATH
# finds it.
evwait_recovery_target() {
	case ${1%/*} in
	/bin | /sbin | /usr/bin | /usr/sbin) echo "$1" ;;
	*sbin) echo "/usr/sbin/${1##*/}" ;;
	*) echo "/usr/bin/${1##*/}" ;;
	esac
}

# Sets era_found to the program the word $1 names and era_into to where it
# goes in the image (both empty for a builtin); returns 1 when there is none.
evwait_recovery_find() {
	era_found= era_into=
	case $evwait_recovery_builtins$evwait_recovery_keywords in
	*[[:space:]]"$1"[[:space:]]*) return 0 ;;
	esac
	case $1 in
	'' | *[[:space:]]*) return 1 ;;
	/*)
		[ -f "$1" ] && [ -x "$1" ] || return 1
		era_found=$1 era_into=$1
		return 0
		;;
	*/*) return 1 ;;
	esac
	era_ifs=$IFS
	IFS=': '
	for era_dir in $era_paths; do
		if [ -f "$era_dir/$1" ] && [ -x "$era_dir/$1" ]; then
			era_found=$era_dir/$1
			break
		fi
	done
	IFS=$era_ifs
	case $era_found in
	'' | *[[:space:]]*) return 1 ;;
	esac
	era_into=$(evwait_recovery_target "$era_found")
}

# Whether the line $1 is one of the lines of $2.
evwait_recovery_listed() {
	case "
$2
" in
	*"
$1
"*) return 0 ;;
	esac
	return 1
}

# The script $1: its interpreter (none for /bin/sh, every initramfs's own),
# the files it sources and the programs it runs are queued or added to
# era_out. Returns 1, with the reason in era_why, for what cannot be followed.
evwait_recovery_script() {
	era_line=
	IFS= read -r era_line <"$1" || :
	case $era_line in
	'#!'*) ;;
	*) era_line='#!/bin/sh' ;;
	esac
	set -- "$1" ${era_line#??}
	era_shell=$2
	case $2 in
	/bin/sh | /usr/bin/sh) ;;
	*)
		if [ "${2##*/}" = env ]; then
			era_queue="$era_queue
$2 $2"
			era_shell=${3-}
		fi
		if ! evwait_recovery_find "$era_shell" || [ -z "$era_found" ]; then
			era_why="$1 is run by ${era_line#??}, which is not found"
			return 1
		fi
		era_queue="$era_queue
$era_found $era_into"
		;;
	esac
	case ${era_shell##*/} in
	sh | dash | bash | ash | ksh | mksh) ;;
	*)
		era_why="$1 is a script of ${era_shell##*/}, whose needs cannot be told"
		return 1
		;;
	esac
	era_words=$(awk "$evwait_recovery_lexer" "$1") || {
		era_why="$1 cannot be read"
		return 1
	}
	# The files it sources, and theirs, read with it.
	era_sourced=
	while :; do
		era_more=$(printf '%s\n' "$era_words" | sed -n 's/^source //p' | sort -u)
		era_new=
		for era_file in $era_more; do
			evwait_recovery_listed "$era_file" "$era_sourced" || era_new="$era_new $era_file"
		done
		[ -n "$era_new" ] || break
		for era_file in $era_new; do
			case $era_file in
			/*) ;;
			*)
				era_why="$1 reads or runs $era_file, which is not an absolute path"
				return 1
				;;
			esac
			if ! [ -f "$era_file" ]; then
				era_why="$1 reads or runs $era_file, which is not found"
				return 1
			fi
			era_sourced="$era_sourced
$era_file"
			era_out="$era_out
file $era_file $era_file"
			era_words="$era_words
$(awk "$evwait_recovery_lexer" "$era_file")"
		done
	done
	era_why=$(printf '%s\n' "$era_words" | sed -n '/^cannot /{s///p;q;}')
	if [ -n "$era_why" ]; then
		era_why="$1 $era_why, so what it runs cannot be told"
		return 1
	fi
	era_funcs=$(printf '%s\n' "$era_words" | sed -n 's/^func //p')
	while read -r era_word; do
		[ -n "$era_word" ] || continue
		! evwait_recovery_listed "$era_word" "$era_funcs" || continue
		if ! evwait_recovery_find "$era_word"; then
			era_why="$1 runs $era_word, which is not found"
			return 1
		fi
		[ -z "$era_found" ] || era_queue="$era_queue
$era_found $era_into"
	done <<END
$(printf '%s\n' "$era_words" | sed -n 's/^cmd //p' | sort -u)
END
}

evwait_recovery_action_files() {
	era_paths=$2 era_out= era_seen= era_queue=
	case $1 in
	'' | shell) return 0 ;;
	*[!A-Za-z0-9_./:,@%+=\ -]*)
		echo "not a single program with plain arguments (a pipeline, list, redirection, quoting or expansion needs the running system)"
		return 1
		;;
	esac
	set -- $1
	case $1 in
	*=*)
		echo "not a single program with plain arguments ($1 sets a variable)"
		return 1
		;;
	esac
	case $evwait_recovery_keywords in
	*[[:space:]]"$1"[[:space:]]*)
		echo "not a single program with plain arguments ($1 is a word of the shell's grammar)"
		return 1
		;;
	esac
	if ! evwait_recovery_find "$1"; then
		echo "$1 is not found, or not an executable file"
		return 1
	fi
	[ -z "$era_found" ] || era_queue="$era_found $era_into"
	while [ -n "$era_queue" ]; do
		era_next=${era_queue%%"
"*}
		case $era_queue in
		*"
"*) era_queue=${era_queue#*"
"} ;;
		*) era_queue= ;;
		esac
		[ -n "$era_next" ] || continue
		set -- $era_next
		! evwait_recovery_listed "$1" "$era_seen" || continue
		era_seen="$era_seen
$1"
		era_out="$era_out
exec $1 $2"
		[ "$(od -An -tx1 -N4 "$1" | tr -d ' \n')" != 7f454c46 ] || continue
		if ! evwait_recovery_script "$1"; then
			echo "$era_why"
			return 1
		fi
	done
	printf '%s\n' "$era_out" | sed '/^$/d'
}
