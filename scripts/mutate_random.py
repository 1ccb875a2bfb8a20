"""Random mutants by fixed rules, for scripts/mutate.py --random N --seed S.

A hand-written list measures what its author thought of; random mutants measure the rest. The
rules are the classic ones: swap a relational or logical operator, negate a condition, change an
integer constant by one, delete a statement or call, return early. Sites are found in the
production C++ files (platform, settings, ffmpeg, engine, web, headless, ui, wizard, app; never
tests, benches or tools) outside comments, string and character literals, preprocessor lines and
declarations, and drawn with a seeded generator, so that the same seed on the same tree gives the
same mutants.
"""
import os
import random
import re

FOLDERS = ("platform", "settings", "ffmpeg", "engine", "web", "headless", "ui", "wizard", "app")
# Which test binaries can reach a folder's code (the end-to-end tests are added for survivors).
REACH = {
    "platform": ["relay_tests", "app_tests", "service_tests"],
    "settings": ["settings_tests", "relay_tests", "app_tests"],
    "ffmpeg": ["relay_tests", "app_tests", "service_tests"],
    "engine": ["relay_tests", "app_tests", "service_tests"],
    "web": ["service_tests", "web_console"],
    "headless": ["service_tests", "web_console"],
    "ui": ["wizard_tests", "app_tests"],
    "wizard": ["wizard_tests", "app_tests"],
    "app": ["app_tests"],
}

RELATIONAL = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
LOGICAL = {"&&": "||", "||": "&&"}
LAYOUT = re.compile(r"\b(set\w*Spacing|setContentsMargins|addWidget|addLayout|addStretch|addSpacing|setFixed\w*|"
                    r"setMinimum\w*|setMaximum\w*|resize|set\w*Stretch|QSize|QMargins|QPoint|QRect|setColumnWidth)\b")
# Calls that only space or colour widgets: deleting one is no fault a test should catch either.
LOOKS = re.compile(r"\b(set\w*Spacing|setContentsMargins|addStretch|addSpacing|set\w*Stretch|setColumnWidth|setStyleSheet)\(")


def blank_literals(line):
    """The line with string and character literals and a trailing // comment replaced by blanks of
    the same length, so that sites are only found in code and columns still match."""
    out, i, quote = [], 0, None
    while i < len(line):
        c = line[i]
        if quote:
            if c == "\\":
                out.append("  ")
                i += 2
                continue
            out.append(" " if c != quote else c)
            if c == quote:
                quote = None
        elif c in "\"'":
            # A raw string or a digit separator (1'000) is left alone by skipping the line.
            if c == "'" and i > 0 and line[i - 1].isalnum() and i + 1 < len(line) and line[i + 1].isdigit():
                return None
            if c == '"' and i > 0 and line[i - 1] == "R":
                return None
            quote = c
            out.append(c)
        elif line.startswith("//", i):
            out.append(" " * (len(line) - i))
            break
        else:
            out.append(c)
        i += 1
    return "".join(out)


def code_lines(text):
    """(number, line, code) for each line that is code: not inside a block comment, not a
    preprocessor line, with its literals blanked."""
    in_block = False
    for number, line in enumerate(text.split("\n"), 1):
        stripped = line.strip()
        if in_block:
            if "*/" in line:
                in_block = False
            continue
        if stripped.startswith("/*"):
            in_block = "*/" not in stripped
            continue
        if not stripped or stripped.startswith("#") or stripped.startswith("//") or stripped.startswith("*"):
            continue
        code = blank_literals(line)
        if code is None or "/*" in code:
            continue
        yield number, line, code


def sites(path, rel):
    """Every (rule, line number, new line, what) that the rules allow in one file."""
    text = open(path, encoding="utf-8").read()
    found = []
    previous = ";"  # the last code line before this one, stripped: where a statement may start
    for number, line, code in code_lines(text):
        after, previous = previous, code.strip() or previous
        # Operators: each occurrence is a site. The tree's format puts blanks around a binary
        # operator, never inside a template's angle brackets or before an arrow.
        for m in re.finditer(r"(?<= )(<=|>=|==|!=|<|>)(?= )", code):
            op = m.group(1)
            new = line[:m.start()] + RELATIONAL[op] + line[m.end():]
            found.append(("relational", number, new, "%s → %s" % (op, RELATIONAL[op])))
        for m in re.finditer(r"&&|\|\|", code):
            op = m.group(0)
            new = line[:m.start()] + LOGICAL[op] + line[m.end():]
            found.append(("logical", number, new, "%s → %s" % (op, LOGICAL[op])))
        # Negate the condition of an if or while whose parentheses close on this line.
        m = re.search(r"\b(if|while)\s*\(", code)
        if m:
            depth, end = 0, None
            for i in range(m.end() - 1, len(code)):
                depth += code[i] == "("
                depth -= code[i] == ")"
                if depth == 0:
                    end = i
                    break
            if end is not None and "constexpr" not in code[:m.end()] and ";" not in code[m.end():end]:
                inner = line[m.end():end]
                new = line[:m.end()] + "!(" + inner + ")" + line[end:]
                found.append(("negate", number, new, "%s condition negated" % m.group(1)))
        # Integer constants, except where they only place widgets (a pixel more or less of a
        # margin is no fault a test should catch).
        for m in ([] if LAYOUT.search(code) else re.finditer(r"(?<![\w.])(\d+)(?![\w.'])", code)):
            value = int(m.group(1))
            if value > 100000 or (len(m.group(1)) > 1 and m.group(1)[0] == "0"):  # octal modes stay
                continue
            step = 1 if value == 0 else random.Random(rel + str(number) + m.group(1)).choice((1, -1))
            new = line[:m.start()] + str(value + step) + line[m.end():]
            found.append(("constant", number, new, "%d → %d" % (value, value + step)))
        stripped = code.strip()
        # Delete a statement: a whole line that is a call or an assignment ending in ';', and that
        # starts a statement (not the last line of an expression begun on the line before).
        starts = after.endswith((";", "{", "}", ")")) or after == "else" or re.fullmatch(r"(case .*|default|public|private|protected|\w+):", after)
        if (starts and not LOOKS.search(code) and stripped.endswith(";") and not stripped.startswith((".", "->")) and not stripped.startswith(("return", "break", "continue", "case", "default", "using",
                                                                 "namespace", "struct", "class", "enum", "typedef", "}", "static_assert"))
                and re.match(r"^[\w:.\->\[\]()*&]+(\s*(=|\+=|-=|\|=|&=|\+\+|--)|\s*\()", stripped)
                and not re.match(r"^(const\s+|static\s+|auto\s|std::\w+(<[^;]*>)?\s+\w+\s*[({=;]|\w+(::\w+)*\s+\w+\s*[({=;])", stripped)
                and stripped.count("(") == stripped.count(")")):
            indent = line[:len(line) - len(line.lstrip())]
            found.append(("delete", number, indent + ";", "statement deleted"))
        # Return early: a plain "return x;" line whose function goes on is already covered by the
        # negations; instead, an early "return false;"/"return {};" before a statement in a
        # function returning bool is approximated by turning "return true;" into "return false;".
        if re.fullmatch(r"\s*return (true|false);\s*", code):
            flipped = "false" if "true" in code else "true"
            new = re.sub(r"return (true|false);", "return %s;" % flipped, line)
            found.append(("return", number, new, "returns %s" % flipped))
    return found


def generate(root, count, seed):
    """count mutants drawn at random over all sites of all production files (one per line at
    most), as dicts with id, file, line, original, replacement, rule, what, tests."""
    every = []
    for folder in FOLDERS:
        for base, _, files in os.walk(os.path.join(root, folder)):
            for name in sorted(files):
                if name.endswith(".cpp"):
                    path = os.path.join(base, name)
                    rel = os.path.relpath(path, root)
                    every.extend((rel,) + s for s in sites(path, rel))
    every.sort()
    rng = random.Random(seed)
    rng.shuffle(every)
    chosen, used = [], set()
    for rel, rule, number, new, what in every:
        if len(chosen) == count:
            break
        if (rel, number) in used:
            continue
        used.add((rel, number))
        text = open(os.path.join(root, rel), encoding="utf-8").read().split("\n")
        chosen.append({"id": "X%02d" % (len(chosen) + 1), "file": rel, "line": number, "original": text[number - 1],
                       "replacement": new, "rule": rule, "what": what,
                       "tests": REACH[rel.split("/")[0]]})
    return chosen
