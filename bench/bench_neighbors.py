"""Neighbour search throughput, per-structure overhead, peak memory and two-thread scaling.

Prints, for rattled diamond-silicon crystals of growing size at cutoff 6 Å:
atoms per second and neighbour entries per second of ``build_neighbor_graph``
(one thread), and the peak memory of the call against the size of its output
arrays; then the batch search over 10,000 small structures; then two Python
threads against one after the other.
"""

from __future__ import annotations

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import subprocess  # noqa: E402
import sys  # noqa: E402
import threading  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402

sys.path.insert(0, str(Path(__file__).parent))
from common import batch_of, best_time, diamond_silicon, rattled, repeat, silicon_crystal  # noqa: E402

import tandril  # noqa: E402
from tandril import _core_testing as core  # noqa: E402

CUTOFF = 6.0


def graph(structure):
    numbers, positions, cell = structure
    return tandril.build_neighbor_graph(numbers, positions, cell, [1, 1, 1], CUTOFF)


def peak_memory_ratio(n_atoms: int) -> str:
    """Peak resident memory added by one call, over the bytes of its output arrays (fresh process)."""
    # VmHWM (not ru_maxrss, which a child inherits from its parent) is the peak of this process alone.
    code = f"""
import sys
sys.path.insert(0, {str(Path(__file__).parent)!r})
from common import silicon_crystal
import tandril

def high_water_kib():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM"))

s = silicon_crystal({n_atoms})
base = high_water_kib()
out = tandril.build_neighbor_graph(s[0], s[1], s[2], [1, 1, 1], {CUTOFF})
print((high_water_kib() - base) * 1024 / sum(a.nbytes for a in out))
"""
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return f"{float(result.stdout):.2f}x"


def single_structures() -> None:
    print(f"build_neighbor_graph, rattled diamond Si, cutoff {CUTOFF} Å, one thread")
    print(f"{'atoms':>8} {'ms':>9} {'atoms/s':>11} {'entries/s':>11} {'us/atom':>8} {'peak/output':>12}")
    for n in (1000, 8000, 27000, 64000, 125000):
        s = silicon_crystal(n)
        seconds = best_time(lambda: graph(s), repeats=3)
        entries = len(graph(s)[1])
        atoms = len(s[0])
        ratio = peak_memory_ratio(n) if n >= 8000 else "-"
        print(f"{atoms:>8} {1e3 * seconds:>9.2f} {atoms / seconds:>11.0f} {entries / seconds / 1e6:>10.1f}M"
              f" {1e6 * seconds / atoms:>8.2f} {ratio:>12}")


def small_structures() -> None:
    rng = np.random.default_rng(0)
    print("\nbatch search over 10,000 small structures (one call), cutoff 6 Å")
    print(f"{'atoms each':>12} {'us/structure':>13} {'us/atom':>8}")
    for reps in ((1, 1, 1), (2, 1, 1), (2, 2, 1), (2, 2, 2)):
        structures = [rattled(repeat(diamond_silicon(), reps), seed=int(rng.integers(1 << 30))) for _ in range(200)]
        structures = structures * 50
        batch = batch_of(structures)
        seconds = best_time(lambda: core.build_batch_neighbors(*batch, cutoff=CUTOFF), repeats=2)
        atoms = len(batch[0])
        print(f"{atoms // 10000:>12} {1e6 * seconds / 10000:>13.2f} {1e6 * seconds / atoms:>8.2f}")
    # Fixed cost of one structure: single atoms with a cutoff well inside the cell.
    one = batch_of([(np.array([14]), np.zeros((1, 3)), np.eye(3) * 5.0)] * 10000)
    seconds = best_time(lambda: core.build_batch_neighbors(*one, cutoff=1.0), repeats=3)
    print(f"per-structure overhead (10,000 one-atom structures, 27 images each): {1e6 * seconds / 10000:.2f} us")


def two_threads() -> None:
    s = silicon_crystal(64000)
    one = best_time(lambda: graph(s), repeats=2)

    def pair():
        threads = [threading.Thread(target=graph, args=(s,)) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    both = best_time(pair, repeats=2)
    print(f"\ntwo threads, 64,000 atoms each: {1e3 * both:.0f} ms together vs {2e3 * one:.0f} ms one after the other"
          f" ({2 * one / both:.2f}x)")


if __name__ == "__main__":
    single_structures()
    small_structures()
    two_threads()
