"""The post-test command of the contract tests (CTestCustom.cmake): prints the
counts the contract runs of this ctest run wrote into the build folder as one
line, after ctest's own summary, and removes them. Prints nothing when no
contract test ran."""

import sys
from pathlib import Path


def numbers(path, count):
    try:
        values = [int(word) for word in path.read_text().split()]
        path.unlink()
    except (OSError, ValueError):
        values = []
    return (values + [0] * count)[:count]


def main():
    build = Path(sys.argv[1])
    sim, wine = build / "contract-counts-sim.txt", build / "contract-counts-wine.txt"
    if not sim.exists() and not wine.exists():
        return
    (facts,) = numbers(sim, 1)
    also_wine, differences = numbers(wine, 2)
    print(f"contract: {facts} facts on the simulated Windows, {also_wine} of them also under Wine, "
          f"{differences} known Wine differences")


if __name__ == "__main__":
    main()
