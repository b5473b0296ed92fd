#!/usr/bin/env python3
"""Each folder includes only its own headers and the public headers of the
folders below it: the tool and the kernel header, then the module in user
space, live mode, and the programs that start a command."""
import pathlib
import re
import sys

# Bottom first; a folder may use the ones before it, never one after.
LAYERS = [
    ("include/linux", None), ("tool", set()), ("lib", set()),
    ("module", {"brantel_sim.h", "model.h"}),
    ("live", {"live.h", "live_advice.h", "live_paths.h", "live_show.h"}),
    ("launch", set()),
]
GENERATED = {"classifier.skel.h"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def main(root):
    root = pathlib.Path(root)
    rank = {name: i for i, (name, _) in enumerate(LAYERS)}
    public = dict(LAYERS)
    home = {}  # header file name -> the folder that holds it
    for name, _ in LAYERS:
        for h in (root / name).glob("*.h"):
            home[h.name] = name
    faults = []
    for name, _ in LAYERS:
        for src in sorted((root / name).glob("*")):
            if src.suffix not in (".c", ".cpp", ".h"):
                continue
            for header in INCLUDE.findall(src.read_text()):
                if header in GENERATED:
                    continue
                where = name if (root / name / header).exists() else home.get(header)
                at = f"{name}/{src.name}: \"{header}\""
                if where is None:
                    faults.append(f"{at}: no folder of the project holds it")
                elif rank[where] > rank[name]:
                    faults.append(f"{at}: {where}/ is a layer above {name}/")
                elif where != name and public[where] is not None and header not in public[where]:
                    faults.append(f"{at}: not one of {where}/'s public headers "
                                  f"({', '.join(sorted(public[where]))})")
    for line in faults:
        print(line)
    print(f"{len(faults)} includes across layers out of place")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
