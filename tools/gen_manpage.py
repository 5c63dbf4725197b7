#!/usr/bin/env python3
"""Writes a program's manual page from its own --help, so that the two
cannot drift apart: the build runs this on the programs it has just built.

    gen_manpage.py --program PATH --name NAME --version X.Y.Z --summary TEXT
                   [--commands] [--see-also PAGE]... (--output FILE.1[.gz] | --check FILE.1[.gz])

The program is started as NAME (its argv[0]), so the help names it as it is
installed. --commands adds the help of each subcommand that the top help
lists. --check compares FILE with what would be written now and exits 1 when
they differ (a page of an older build); without --summary it takes the
summary from FILE's NAME line.

The help is read in the shape both programs print: column-0 lines ending in
":" head sections; indented entries are "TERM  DESCRIPTION", the description
possibly going on in lines indented further; "Usage:" gives the synopsis and
"Exit codes:" the EXIT STATUS section.
"""

import argparse
import gzip
import re
import subprocess
import sys


def run_help(program, name, args):
    done = subprocess.run([name] + args + ["--help"], executable=program, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=60, check=False)
    if done.returncode != 0:
        sys.exit(f"gen_manpage: {name} {' '.join(args)} --help exited {done.returncode}: "
                 f"{done.stderr.decode(errors='replace')}")
    return done.stdout.decode("utf-8").replace("\r\n", "\n")


def roff(text):
    """Plain text for a roff line: backslashes, dashes and a leading dot or quote escaped."""
    text = text.replace("\\", "\\e").replace("-", "\\-")
    if text.startswith((".", "'")):
        text = "\\&" + text
    return text


def bold(text):
    return "\\fB" + roff(text) + "\\fR"


class Help:
    """One --help text cut into its parts."""

    def __init__(self, text):
        self.description = []  # paragraphs of column-0 text before the first section
        self.synopsis = []     # "Usage:" lines without the word
        self.sections = []     # (heading, [blocks]); a block is ("entry", term, text) or ("text", lines)
        self._parse(text.split("\n"))

    def _parse(self, lines):
        blocks = None  # the current section's
        i = 0
        while i < len(lines):
            line = lines[i].rstrip()
            usage = re.match(r"(?i)usage:\s*(.*)", line)
            if not line:
                i += 1
            elif usage:
                self.synopsis.append(usage.group(1))
                i += 1
                while i < len(lines) and lines[i].startswith(" ") and lines[i].strip():
                    self.synopsis.append(lines[i].strip())
                    i += 1
            elif line.startswith(" "):
                if blocks is None:
                    blocks = []
                    self.sections.append(("", blocks))
                i = self._indented(lines, i, blocks)
            else:
                run = []
                while i < len(lines) and lines[i].strip() and not lines[i].startswith(" ") and \
                        not re.match(r"(?i)usage:", lines[i]):
                    run.append(lines[i].strip())
                    i += 1
                text = " ".join(run)
                under = i < len(lines) and lines[i].startswith(" ") and lines[i].strip()
                if not under or not text.endswith(":"):
                    if blocks is None:
                        self.description.append(text)
                    else:
                        blocks.append(("text", [text]))
                elif blocks is None and not self.description:
                    # The help's first words, ending in an example.
                    self.description.append(text)
                    example = []
                    self.description.append(example)
                    i = self._indented(lines, i, example)
                else:
                    blocks = []
                    self.sections.append((text[:-1], blocks))

    @staticmethod
    def _indented(lines, i, blocks):
        """Reads the indented lines from i into blocks; returns the next line's index."""
        group = []
        while i < len(lines) and lines[i].startswith(" ") and lines[i].strip():
            group.append(lines[i].rstrip())
            i += 1
        # The column most descriptions of the group start at: a term too long
        # for its gap of two spaces still ends there.
        columns = [m.end(2) + len(m.group(3)) for m in (re.match(r"( +)(\S.*?)( {2,})\S", g) for g in group) if m]
        column = max(set(columns), key=columns.count) if columns else 0
        entry = None
        for n, g in enumerate(group):
            indent = len(g) - len(g.lstrip())
            m = re.match(r"( +)(\S.*?)( {2,})(\S.*)$", g)
            if entry and indent > entry[0]:
                entry[2].append(g.strip())
                continue
            described_below = n + 1 < len(group) and len(group[n + 1]) - len(group[n + 1].lstrip()) > indent
            if m:
                entry = (indent, m.group(2), [m.group(4)])
            elif g.lstrip().startswith("-") and not described_below and column and len(g) > column and \
                    g[column - 1] == " ":
                entry = (indent, g[:column].strip(), [g[column:].strip()])
            elif g.lstrip().startswith("-"):
                entry = (indent, g.strip(), [])
            else:
                # Plain indented text: a note of its own, or a line of one.
                if blocks and blocks[-1][0] == "text" and entry is None:
                    blocks[-1][1].append(g.strip())
                else:
                    blocks.append(("text", [g.strip()]))
                entry = None
                continue
            blocks.append(("entry", entry[1], entry[2]))
        return i


def render_blocks(blocks, out):
    for block in blocks:
        if block[0] == "entry":
            out.append(".TP")
            out.append(bold(block[1]))
            if block[2]:
                out.append(roff(" ".join(block[2])))
        else:
            out.append(".PP")
            out.append(roff(" ".join(block[1])))


def render_description(help_, out):
    for part in help_.description:
        if isinstance(part, list):
            out.append(".RS")
            render_blocks(part, out)
            out.append(".RE")
        else:
            out.append(".PP")
            out.append(roff(part))


def section_title(heading):
    return {"options": "OPTIONS", "exit codes": "EXIT STATUS", "subcommands": "COMMANDS"}.get(heading.lower())


def render_command(program, name, command, out):
    sub = Help(run_help(program, name, [command]))
    out.append(f'.SS "{roff(sub.synopsis[0] if sub.synopsis else name + " " + command)}"')
    render_description(sub, out)
    for heading, blocks in sub.sections:
        if section_title(heading) != "EXIT STATUS":  # the same table as the program's
            render_blocks(blocks, out)


def manpage(program, name, version, summary, commands, see_also):
    top = Help(run_help(program, name, []))
    out = [
        f'.TH {name.upper()} 1 "" "{name} {version}" "User Commands"',
        ".nh",  # no hyphens inside option names and paths
        ".ad l",
        ".SH NAME",
        f"{roff(name)} \\- {roff(summary)}",
        ".SH SYNOPSIS",
    ]
    for line in top.synopsis:
        words = line.split(" ", 1)
        out.append(".br")
        out.append(f"{bold(words[0])} {roff(words[1]) if len(words) > 1 else ''}".rstrip())
    out.append(".SH DESCRIPTION")
    render_description(top, out)

    # The sections in the help's order; headings of no standard section are
    # subsections of OPTIONS, and EXIT STATUS goes last. With --commands each
    # listed command gets a subsection of COMMANDS from its own help.
    exit_status = None
    in_options = False
    for heading, blocks in top.sections:
        title = section_title(heading)
        if title == "EXIT STATUS":
            exit_status = blocks
            continue
        if title:
            out.append(f".SH {title}")
            in_options = title == "OPTIONS"
        elif heading:
            if not in_options:
                out.append(".SH OPTIONS")
                in_options = True
            out.append(f'.SS "{roff(heading)}"')
        if title == "COMMANDS" and commands:
            for command in [b[1] for b in blocks if b[0] == "entry"]:
                render_command(program, name, command, out)
        else:
            render_blocks(blocks, out)

    if exit_status is not None:
        out.append(".SH \"EXIT STATUS\"")
        render_blocks(exit_status, out)
    out.append(".SH \"SEE ALSO\"")
    pages = [f"{bold(page)}(1)" for page in see_also]
    out.append(", ".join(pages + [f"{bold(name + ' --help')}"]) + ",")
    out.append("and README.md in the package's documentation folder (/usr/share/doc/tq35b/ from the Debian package).")
    return "\n".join(out) + "\n"


def encode(text, path):
    data = text.encode("utf-8")
    if path.endswith(".gz"):
        # No name and no time stamp in the header: the same page gives the same bytes.
        data = gzip.compress(data, compresslevel=9, mtime=0)
    return data


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--program", required=True)
    parser.add_argument("--name", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--summary")
    parser.add_argument("--commands", action="store_true")
    parser.add_argument("--see-also", action="append", default=[])
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--output")
    where.add_argument("--check")
    args = parser.parse_args()

    if args.output:
        if args.summary is None:
            parser.error("--output needs --summary")
        text = manpage(args.program, args.name, args.version, args.summary, args.commands, args.see_also)
        with open(args.output, "wb") as f:
            f.write(encode(text, args.output))
        return 0
    with open(args.check, "rb") as f:
        old = f.read()
    if args.check.endswith(".gz"):
        old = gzip.decompress(old)
    summary = args.summary
    if summary is None:
        lines = old.decode("utf-8").split("\n")
        name_line = lines[lines.index(".SH NAME") + 1] if ".SH NAME" in lines else ""
        summary = name_line.partition(" \\- ")[2].replace("\\-", "-").replace("\\e", "\\")
    text = manpage(args.program, args.name, args.version, summary, args.commands, args.see_also)
    if old != text.encode("utf-8"):
        print(f"gen_manpage: {args.check} differs from the page {args.name} --help gives now", file=sys.stderr)
        return 1
    print(f"gen_manpage: {args.check} matches {args.name} --help")
    return 0


if __name__ == "__main__":
    sys.exit(main())
