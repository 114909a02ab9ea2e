#!/usr/bin/env python3
"""Makes a gzip-compressed manual page, at build time, so that it never drifts from the program.

  make_man_page.py --program PROGRAM --name TEXT [--include FILE] [--commands] --output OUT.1.gz
      The page of PROGRAM, made by help2man from the program's own --help and --version.
      --include adds the sections of FILE (help2man's include format). --commands adds a
      COMMANDS section with each subcommand's own --help (the subcommands are the ones its
      --help lists under "Subcommands:").
  make_man_page.py --page FILE.1 --output OUT.1.gz
      A page written by hand, compressed.

The output is compressed as Debian asks for manual pages: gzip at the highest level, with no
name or time stamp in the header.
"""

import argparse
import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile


def roff(text):
    """Plain text as roff: backslashes and hyphens literal, no line taken as a request."""
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + text if text[:1] in (".", "'") else text


def run_help(program, *args):
    done = subprocess.run([program, *args, "--help"], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=60, check=False,
                          env=dict(os.environ, LC_ALL="C.UTF-8"))
    if done.returncode != 0:
        sys.exit("%s %s --help: exit status %d" % (program, " ".join(args), done.returncode))
    return done.stdout.decode("utf-8").splitlines()


def subcommands(lines):
    """The names listed under "Subcommands:" in a help text."""
    names, inside = [], False
    for line in lines:
        if line.strip() == "Subcommands:":
            inside = True
        elif inside and not line.strip():
            break
        elif inside and re.match(r"^  \S", line):
            names.append(line.split()[0])
    return names


def entries(lines):
    """A help section's '  NAME   TEXT' entries, with continuation lines joined to TEXT."""
    found = []
    for line in lines:
        entry = re.match(r"^  (\S(?:.*?\S)?)(?:\s{2,}(\S.*))?$", line)
        if line.startswith(" " * 6) and found:
            found[-1][1] = (found[-1][1] + " " + line.strip()).strip()
        elif entry:
            found.append([entry.group(1), entry.group(2) or ""])
    return found


def command_section(program, name):
    """One subcommand's help as roff: what it does, its usage and its arguments and options."""
    lines = run_help(program, name)
    program_name = os.path.basename(program)
    out = ['.SS "%s %s"' % (program_name, name)]
    description, sections, current = [], [], None
    for line in lines:
        if line.startswith("Exit status:"):
            break  # the common closing text, said once on the page already
        if line.startswith("Usage: "):
            out_usage = line[len("Usage: "):]
        elif re.match(r"^[A-Z]\w*:$", line):
            current = (line[:-1], [])
            sections.append(current)
        elif current is not None:
            current[1].append(line)
        elif line.strip():
            description.append(line.strip())
    out += [roff(" ".join(description)), ".PP", "\\fBUsage:\\fR " + roff(out_usage)]
    for title, body in sections:
        for entry, text in entries(body):
            if entry == "-h,--help":
                continue  # every command has it
            out += [".TP", "\\fB%s\\fR" % roff(entry), roff(text)]
    return out


def from_help(args):
    help2man = shutil.which("help2man")
    if not help2man:
        sys.exit("help2man is not installed (apt-get install help2man)")
    include_lines = []
    if args.include:
        with open(args.include, encoding="utf-8") as f:
            include_lines = f.read().splitlines()
    if args.commands:
        include_lines += ["[COMMANDS]",
                          "Each command takes the common options above as well, before or "
                          "after the command's name."]
        for name in subcommands(run_help(args.program)):
            include_lines += command_section(args.program, name)
    with tempfile.TemporaryDirectory() as tmp:
        include = os.path.join(tmp, "include.h2m")
        page = os.path.join(tmp, "page.1")
        with open(include, "w", encoding="utf-8") as f:
            f.write("\n".join(include_lines) + "\n")
        subprocess.run([help2man, "--no-info", "--no-discard-stderr", "--section=1",
                        "--name=" + args.name, "--include=" + include, "--output=" + page,
                        args.program], check=True, timeout=120,
                       env=dict(os.environ, LC_ALL="C.UTF-8"))
        with open(page, "rb") as f:
            return f.read()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program")
    parser.add_argument("--name")
    parser.add_argument("--include")
    parser.add_argument("--commands", action="store_true")
    parser.add_argument("--page")
    parser.add_argument("--output", required=True)
    args = parser.parse_args()
    if args.page:
        with open(args.page, "rb") as f:
            text = f.read()
    elif args.program and args.name:
        text = from_help(args)
    else:
        parser.error("give --page, or --program and --name")
    # No name and no time in the gzip header, so the same page gives the same bytes.
    with open(args.output, "wb") as raw:
        with gzip.GzipFile(filename="", mode="wb", fileobj=raw, compresslevel=9, mtime=0) as f:
            f.write(text)


if __name__ == "__main__":
    main()
