"""Checks systemd unit files as far as a script can without systemd's own
tools (scripts/package-test.sh uses systemd-analyze verify where it is):
every line a comment, a [Section] or Key=Value; only the sections that unit
type has; a service's ExecStart= an executable file; a timer that has a
trigger and a service beside it to start.

Usage: check_units.py UNIT...   (exit 1 and one line per fault if any)
"""
import os
import re
import sys

SECTIONS = {".service": {"Unit", "Service", "Install"}, ".timer": {"Unit", "Timer", "Install"}}
TRIGGERS = {"OnActiveSec", "OnBootSec", "OnStartupSec", "OnUnitActiveSec", "OnUnitInactiveSec", "OnCalendar"}


def parse(path):
    """(sections: {name: {key: [values]}}, faults)"""
    sections, faults, current = {}, [], None
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.strip()
            where = f"{path}:{number}"
            if not line or line[0] in "#;":
                continue
            if m := re.fullmatch(r"\[([A-Za-z]+)\]", line):
                current = sections.setdefault(m.group(1), {})
            elif m := re.fullmatch(r"([A-Za-z][A-Za-z0-9]*)\s*=\s*(.*)", line):
                if current is None:
                    faults.append(f"{where}: {m.group(1)}= before any section")
                else:
                    current.setdefault(m.group(1), []).append(m.group(2))
            else:
                faults.append(f"{where}: neither a section nor Key=Value: {line}")
    return sections, faults


def check(path):
    suffix = os.path.splitext(path)[1]
    if suffix not in SECTIONS:
        return [f"{path}: not a .service or .timer"]
    sections, faults = parse(path)
    faults += [f"{path}: unknown section [{s}]" for s in sections if s not in SECTIONS[suffix]]
    if suffix == ".service":
        starts = sections.get("Service", {}).get("ExecStart", [])
        if not starts:
            faults.append(f"{path}: no ExecStart=")
        for start in starts:
            program = start.split()[0].lstrip("-@:+!") if start.split() else ""
            if not (os.path.isabs(program) and os.access(program, os.X_OK)):
                faults.append(f"{path}: ExecStart= program {program!r} is not an executable file")
    else:
        if not TRIGGERS & set(sections.get("Timer", {})):
            faults.append(f"{path}: no trigger (On...=) in [Timer]")
        unit = sections.get("Timer", {}).get("Unit", [os.path.basename(path)[: -len(suffix)] + ".service"])[-1]
        if not os.path.isfile(os.path.join(os.path.dirname(path), unit)):
            faults.append(f"{path}: {unit} not beside it")
    return faults


def main(paths):
    faults = [fault for path in paths for fault in check(path)]
    print("\n".join(faults) if faults else f"unit files checked: {', '.join(paths)}")
    return 1 if faults or not paths else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
