"""The post-test command of the contract tests (CTestCustom.cmake): prints the
counts the contract runs of this ctest run wrote into the build folder,
after ctest's own summary, and removes them: the simulation's modelled
assumptions one a line, then the contract line last. Prints nothing when no
contract test ran."""

import sys
from pathlib import Path


def read(path):
    """The numbers on the file's first line and its further lines; the file is removed."""
    try:
        lines = path.read_text().splitlines()
        path.unlink()
        return [int(word) for word in lines[0].split()], lines[1:]
    except (OSError, ValueError, IndexError):
        return [], []


def main():
    build = Path(sys.argv[1])
    sim, wine = build / "contract-counts-sim.txt", build / "contract-counts-wine.txt"
    if not sim.exists() and not wine.exists():
        return
    sim_counts, assumptions = read(sim)
    facts, assumed = (sim_counts + [0, 0])[:2]
    also_wine, differences = (read(wine)[0] + [0, 0])[:2]
    if assumptions:
        print("contract: the simulation's modelled assumptions (not facts of Windows; it takes the harsher side):")
        for line in assumptions:
            print(f"  {line}")
    print(f"contract: {facts} facts on the simulated Windows, {also_wine} of them also under Wine, "
          f"{differences} known Wine differences, {assumed} modelled assumptions")


if __name__ == "__main__":
    main()
