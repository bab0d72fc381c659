#!/usr/bin/env python3
"""Checks that src/ folders include only from their own layer or below.

Bottom to top: platform and core; the subsystems; app (the application shell); ui.
A subsystem may use another subsystem's public headers, never app/ or ui/.
Exits 1 and lists every include that points upward.
"""
import pathlib
import re
import sys

SUBSYSTEMS = {"players", "service", "keydetect", "pluginlink", "transpose", "diagnostics"}
LEVEL = {"platform": 0, "core": 0, "app": 2, "ui": 3}
LEVEL.update({name: 1 for name in SUBSYSTEMS})
# The executable's entry creates the run and the interface on top of it.
COMPOSITION_ROOT = pathlib.Path("app/main.cpp")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/', re.MULTILINE)


def main(root: pathlib.Path) -> int:
    src = root / "src"
    problems = []
    for path in sorted(src.rglob("*")):
        if path.suffix not in {".h", ".cpp"}:
            continue
        folder = path.relative_to(src).parts[0]
        if path.relative_to(src) == COMPOSITION_ROOT:
            continue
        if folder not in LEVEL:
            problems.append(f"{path.relative_to(root)}: folder {folder}/ has no layer")
            continue
        for used in INCLUDE.findall(path.read_text(encoding="utf-8")):
            if used == folder or used not in LEVEL:
                continue
            # platform and core share the bottom, but neither reaches into the other's
            # direction beyond that: core never needs the desktop.
            upward = LEVEL[used] > LEVEL[folder] or (folder == "core" and used == "platform")
            if upward:
                problems.append(f"{path.relative_to(root)}: includes {used}/ from {folder}/")
    for line in problems:
        print(line)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parents[2]))
