"""NEP model files written by the tests, a small reader for them, and a slow
NumPy evaluation of the NEP descriptor used as the reference."""

from __future__ import annotations

import dataclasses
from pathlib import Path

import numpy as np

SYMBOLS = (
    "H He Li Be B C N O F Ne Na Mg Al Si P S Cl Ar K Ca Sc Ti V Cr Mn Fe Co Ni Cu Zn Ga Ge As Se Br Kr "
    "Rb Sr Y Zr Nb Mo Tc Ru Rh Pd Ag Cd In Sn Sb Te I Xe Cs Ba La Ce Pr Nd Pm Sm Eu Gd Tb Dy Ho Er Tm Yb "
    "Lu Hf Ta W Re Os Ir Pt Au Hg Tl Pb Bi Po At Rn Fr Ra Ac Th Pa U Np Pu"
).split()
ATOMIC_NUMBER = {symbol: z for z, symbol in enumerate(SYMBOLS, start=1)}

FLAG_NAMES = ("four_body", "five_body", "triple_112", "triple_123", "triple_233", "triple_134")

# (l, m): (coefficients of P_lm(u) by rising power of u, contraction weight C_lm)
ANGULAR_TABLE = {
    (1, 0): ([0, 1], 0.238732414637843),
    (1, 1): ([1], 0.238732414637844),
    (2, 0): ([-1, 0, 3], 0.099471839432435),
    (2, 1): ([0, 1], 1.193662073189216),
    (2, 2): ([1], 0.298415518297304),
    (3, 0): ([0, -3, 0, 5], 0.139260575205408),
    (3, 1): ([-1, 0, 5], 0.208890862808112),
    (3, 2): ([0, 1], 2.088908628081126),
    (3, 3): ([1], 0.348151438013522),
    (4, 0): ([3, 0, -30, 0, 35], 0.011190581936149),
    (4, 1): ([0, -3, 0, 7], 0.447623277445956),
    (4, 2): ([-1, 0, 7], 0.223811638722978),
    (4, 3): ([0, 1], 3.13336294212169),
    (4, 4): ([1], 0.391670367765212),
    (5, 0): ([0, 15, 0, -70, 0, 63], 0.01367737792196),
    (5, 1): ([1, 0, -14, 0, 21], 0.205160668829396),
    (5, 2): ([0, -1, 0, 3], 5.744498727223098),
    (5, 3): ([-1, 0, 9], 0.239354113634296),
    (5, 4): ([0, 1], 4.308374045417322),
    (5, 5): ([1], 0.430837404541732),
    (6, 0): ([-5, 0, 105, 0, -315, 0, 231], 0.004041043476943),
    (6, 1): ([0, 5, 0, -30, 0, 33], 0.339447652063184),
    (6, 2): ([1, 0, -18, 0, 33], 0.21215478253949),
    (6, 3): ([0, -3, 0, 11], 0.848619130157958),
    (6, 4): ([-1, 0, 11], 0.254585739047388),
    (6, 5): ([0, 1], 5.60088625904252),
    (6, 6): ([1], 0.466740521586876),
    (7, 0): ([0, -35, 0, 315, 0, -693, 0, 429], 0.004662742473395),
    (7, 1): ([-5, 0, 135, 0, -495, 0, 429], 0.008159799328442),
    (7, 2): ([0, 15, 0, -110, 0, 143], 0.048958795970652),
    (7, 3): ([3, 0, -66, 0, 143], 0.024479397985326),
    (7, 4): ([0, -3, 0, 13], 1.07709351135433),
    (7, 5): ([-1, 0, 13], 0.269273377838582),
    (7, 6): ([0, 1], 7.00110782380315),
    (7, 7): ([1], 0.500079130271654),
    (8, 0): ([35, 0, -1260, 0, 6930, 0, -12012, 0, 6435], 8.2569397966e-5),
    (8, 1): ([0, -35, 0, 385, 0, -1001, 0, 715], 0.011889993307158),
    (8, 2): ([-1, 0, 33, 0, -143, 0, 143], 0.208074882875268),
    (8, 3): ([0, 3, 0, -26, 0, 39], 1.525882474418636),
    (8, 4): ([1, 0, -26, 0, 65], 0.228882371162796),
    (8, 5): ([0, -1, 0, 5], 11.901883300465355),
    (8, 6): ([-1, 0, 15], 0.283378173820604),
    (8, 7): ([0, 1], 8.50134521461811),
    (8, 8): ([1], 0.531334075913632),
}


def _four_body(S):
    return (-0.007499480826664*S[3]*S[3]*S[3] - 0.134990654879954*S[3]*(S[4]*S[4] + S[5]*S[5])
            + 0.067495327439977*S[3]*(S[6]*S[6] + S[7]*S[7]) + 0.404971964639861*S[6]*(S[5]*S[5] - S[4]*S[4])
            - 0.809943929279723*S[4]*S[5]*S[7])


def _five_body(S):
    Q = S[1]*S[1] + S[2]*S[2]
    return 0.026596810706114*S[0]**4 + 0.053193621412227*S[0]*S[0]*Q + 0.026596810706114*Q*Q


def _triple_112(S):
    return (0.027493550848847*S[0]*S[0]*S[3] - 0.013746775424423*(S[1]*S[1] + S[2]*S[2])*S[3]
            + 0.16496130509308*S[0]*(S[1]*S[4] + S[2]*S[5]) + 0.04124032627327*(S[1]*S[1] - S[2]*S[2])*S[6]
            + 0.08248065254654*S[1]*S[2]*S[7])


def _triple_123(S):
    return (0.033672585398469*S[8]*(S[1]*S[4] + S[2]*S[5])
            - 0.008418146349617*(S[2]*S[6]*S[10] - S[1]*S[7]*S[10] - S[2]*S[7]*S[9] - S[1]*S[6]*S[9])
            - 0.016836292699234*(S[1]*S[3]*S[9] + S[2]*S[3]*S[10] + S[0]*S[3]*S[8])
            - 0.067345170796937*S[0]*(S[5]*S[10] + S[4]*S[9])
            - 0.042090731748086*(S[1]*S[7]*S[14] + S[1]*S[6]*S[13] + S[2]*S[6]*S[14] - S[2]*S[7]*S[13])
            - 0.084181463496172*S[0]*(S[6]*S[11] + S[7]*S[12])
            - 0.168362926992344*(S[1]*S[5]*S[12] + S[1]*S[4]*S[11] + S[2]*S[4]*S[12] - S[2]*S[5]*S[11]))


def _triple_233(S):
    return (0.321473273819474*(S[4]*S[11]*S[13] + S[4]*S[12]*S[14] + S[5]*S[11]*S[14] - S[5]*S[12]*S[13])
            + 0.192883964291685*(S[4]*S[10]*S[12] + S[4]*S[9]*S[11] + S[5]*S[9]*S[12] - S[5]*S[10]*S[11])
            - 0.12858930952779*S[8]*(S[6]*S[11] + S[7]*S[12]) + 0.038576792858337*S[7]*S[9]*S[10]
            + 0.032147327381947*(S[7]*S[10]*S[13] - S[7]*S[9]*S[14] - S[6]*S[9]*S[13] - S[6]*S[10]*S[14])
            - 0.026789439484956*S[3]*(S[13]*S[13] + S[14]*S[14]) + 0.025717861905558*S[8]*(S[4]*S[9] + S[5]*S[10])
            + 0.019288396429168*S[6]*(S[9]*S[9] - S[10]*S[10]) + 0.009644198214584*S[3]*(S[9]*S[9] + S[10]*S[10])
            + 0.008572620635186*S[3]*S[8]*S[8])


def _triple_134(S):
    return (0.25516150070403*(S[2]*S[11]*S[21] - S[2]*S[12]*S[20] + S[1]*S[11]*S[20] + S[1]*S[12]*S[21])
            + 0.08505383356801*S[0]*(S[13]*S[20] + S[14]*S[21]) + 0.072903285915437*S[0]*(S[11]*S[18] + S[12]*S[19])
            + 0.042526916784005*(S[2]*S[13]*S[23] - S[2]*S[14]*S[22] + S[1]*S[13]*S[22] + S[1]*S[14]*S[23])
            + 0.036451642957719*(S[2]*S[11]*S[17] - S[2]*S[12]*S[16] + S[0]*S[10]*S[17] + S[0]*S[9]*S[16]
                                 - S[1]*S[11]*S[16] - S[1]*S[12]*S[17])
            + 0.024301095305146*S[8]*(S[1]*S[16] + S[2]*S[17])
            + 0.018225821478859*(S[2]*S[9]*S[19] + S[1]*S[9]*S[18] + S[1]*S[10]*S[19] - S[2]*S[10]*S[18])
            + 0.006075273826286*(S[2]*S[13]*S[19] - S[2]*S[14]*S[18] - S[1]*S[13]*S[18] - S[1]*S[14]*S[19])
            - 0.003645164295772*S[15]*(S[2]*S[10] + S[1]*S[9]) + 0.004860219061029*S[0]*S[8]*S[15])


MANY_BODY_TERMS = (_four_body, _five_body, _triple_112, _triple_123, _triple_233, _triple_134)


@dataclasses.dataclass
class NepModelFile:
    """Everything a NEP model file holds that the descriptor reads, plus what
    is needed to write the file back."""

    symbols: list[str]
    radial_cutoffs: list[float]
    angular_cutoffs: list[float]
    n_max: tuple[int, int]
    basis_size: tuple[int, int]
    l_max: int
    flags: tuple[int, ...]
    radial_coefficients: np.ndarray  # (nR + 1, bR + 1, T, T), file order
    angular_coefficients: np.ndarray  # (nA + 1, bA + 1, T, T)
    scales: np.ndarray  # (D,)
    version: int = 4
    hidden: tuple[int, int] = (3, 0)
    header: str | None = None  # first header token; "nep<version>" when None
    zbl: str | None = None  # the optional line between header and cutoffs
    extra_values: int = 0

    @property
    def num_types(self) -> int:
        return len(self.symbols)

    @property
    def species(self) -> list[int]:
        return [ATOMIC_NUMBER[s] for s in self.symbols]

    @property
    def num_angular_slots(self) -> int:
        return self.l_max + sum(1 for f in self.flags[:6] if f != 0)

    @property
    def feature_count(self) -> int:
        return self.n_max[0] + 1 + (self.n_max[1] + 1) * self.num_angular_slots

    def weight_count(self) -> int:
        h1, h2 = self.hidden
        d, t = self.feature_count, self.num_types
        if h2 > 0:
            return (h1 * (d + 1) + h2 * (h1 + 2)) * t
        return {3: h1 * (d + 2), 4: h1 * (d + 2) * t, 5: (h1 * (d + 2) + 1) * t}[self.version]

    def text(self) -> str:
        lines = [" ".join([self.header or f"nep{self.version}", str(self.num_types), *self.symbols])]
        if self.zbl is not None:
            lines.append(self.zbl)
        if len(set(self.radial_cutoffs)) == 1 and len(set(self.angular_cutoffs)) == 1:
            cutoffs = [self.radial_cutoffs[0], self.angular_cutoffs[0]]
        else:
            cutoffs = [c for pair in zip(self.radial_cutoffs, self.angular_cutoffs) for c in pair]
        lines.append("cutoff " + " ".join(repr(float(c)) for c in cutoffs) + " 100 100")
        lines.append(f"n_max {self.n_max[0]} {self.n_max[1]}")
        lines.append(f"basis_size {self.basis_size[0]} {self.basis_size[1]}")
        flags = list(self.flags) + [0] * max(0, 2 - len(self.flags))  # the line needs three values
        lines.append("l_max " + " ".join(str(v) for v in (self.l_max, *flags)))
        lines.append(f"ANN {self.hidden[0]} {self.hidden[1]}")
        rng = np.random.default_rng(5)
        values = [
            rng.uniform(-1, 1, self.weight_count() + 1),
            self.radial_coefficients.reshape(-1),
            self.angular_coefficients.reshape(-1),
            self.scales,
            rng.uniform(-1, 1, self.extra_values),
        ]
        lines.extend(f"{v:.17e}" for v in np.concatenate(values))
        return "\n".join(lines) + "\n"

    def write(self, path: Path) -> Path:
        path = Path(path)
        path.write_text(self.text())
        return path


def synthetic_model(
    rng: np.random.Generator,
    symbols=("O", "H"),
    radial_cutoffs=(4.5,),
    angular_cutoffs=(3.5,),
    n_max=(4, 4),
    basis_size=(8, 8),
    l_max=4,
    flags=(1, 1),
    unit_scales: bool = False,
    **kwargs,
) -> NepModelFile:
    """A model with random coefficients; one cutoff value applies to every type."""
    t = len(symbols)
    radial = list(radial_cutoffs) * (t if len(radial_cutoffs) == 1 else 1)
    angular = list(angular_cutoffs) * (t if len(angular_cutoffs) == 1 else 1)
    model = NepModelFile(
        symbols=list(symbols),
        radial_cutoffs=radial,
        angular_cutoffs=angular,
        n_max=tuple(n_max),
        basis_size=tuple(basis_size),
        l_max=l_max,
        flags=tuple(flags),
        radial_coefficients=rng.uniform(-1, 1, (n_max[0] + 1, basis_size[0] + 1, t, t)),
        angular_coefficients=rng.uniform(-1, 1, (n_max[1] + 1, basis_size[1] + 1, t, t)),
        scales=np.zeros(0),
        **kwargs,
    )
    d = model.feature_count
    model.scales = np.ones(d) if unit_scales else rng.uniform(0.5, 2.0, d)
    return model


def read_model(path: Path) -> NepModelFile:
    """Reads a well-formed model file (the reference for the shipped models)."""
    lines = []
    for raw in Path(path).read_text().split("\n"):
        tokens = raw.split("#", 1)[0].split()
        if tokens:
            lines.append(tokens)
    header = lines[0]
    version, t = int(header[0][3]), int(header[1])
    symbols = header[2 : 2 + t]
    k = 2 if lines[1][0] == "zbl" else 1
    cut = [float(x) for x in lines[k][1:]]
    if len(lines[k]) == 5:
        radial, angular = [cut[0]] * t, [cut[1]] * t
    else:
        radial, angular = cut[0 : 2 * t : 2], cut[1 : 2 * t : 2]
    n_max = (int(lines[k + 1][1]), int(lines[k + 1][2]))
    basis = (int(lines[k + 2][1]), int(lines[k + 2][2]))
    l_values = [int(x) for x in lines[k + 3][1:8]]
    hidden = (int(lines[k + 4][1]), int(lines[k + 4][2]))
    block = np.array([float(x) for line in lines[k + 5 :] for x in line])
    model = NepModelFile(
        symbols=symbols, radial_cutoffs=radial, angular_cutoffs=angular, n_max=n_max, basis_size=basis,
        l_max=l_values[0], flags=tuple(l_values[1:]), radial_coefficients=np.zeros(0),
        angular_coefficients=np.zeros(0), scales=np.zeros(0), version=version, hidden=hidden,
    )
    start = model.weight_count() + 1
    cr = (n_max[0] + 1) * (basis[0] + 1) * t * t
    ca = (n_max[1] + 1) * (basis[1] + 1) * t * t
    model.radial_coefficients = block[start : start + cr].reshape(n_max[0] + 1, basis[0] + 1, t, t)
    model.angular_coefficients = block[start + cr : start + cr + ca].reshape(n_max[1] + 1, basis[1] + 1, t, t)
    model.scales = block[start + cr + ca : start + cr + ca + model.feature_count]
    return model


def basis_functions(r: np.ndarray, rc: np.ndarray, b: int) -> np.ndarray:
    """f[:, k] = (T_k(x) + 1) / 2 * fc with x = 2 (r/rc - 1)^2 - 1."""
    fc = 0.5 * np.cos(np.pi * r / rc) + 0.5
    x = 2.0 * (r / rc - 1.0) ** 2 - 1.0
    t = np.polynomial.chebyshev.chebvander(x, b)
    return 0.5 * (t + 1.0) * fc[:, None]


def neighbour_vectors(positions: np.ndarray, cell: np.ndarray, centre: int, cutoff: float):
    """Every atom image (index, vector) within `cutoff` of one centre, brute force."""
    reach = np.ceil(cutoff * np.linalg.norm(np.linalg.inv(cell).T, axis=1)).astype(int) + 1
    grid = np.stack(np.meshgrid(*[np.arange(-n, n + 1) for n in reach], indexing="ij"), -1).reshape(-1, 3)
    images = positions[None, :, :] + (grid @ cell)[:, None, :]
    vectors = (images - positions[centre]).reshape(-1, 3)
    index = np.tile(np.arange(len(positions)), len(grid))
    d = np.linalg.norm(vectors, axis=1)
    keep = (d > 0) & (d <= cutoff)
    return index[keep], vectors[keep]


def angular_sums(g: np.ndarray, vectors: np.ndarray, l_max: int) -> np.ndarray:
    """S[n, :] in the layout of the descriptor (80 entries: orders 1 to 8), from
    complex sums over the neighbours: sum_j g[j, n] P_lm(u_j) w_j^m."""
    r = np.linalg.norm(vectors, axis=1)
    u = vectors[:, 2] / r
    w = (vectors[:, 0] + 1j * vectors[:, 1]) / r
    S = np.zeros((g.shape[1], 80))
    for l in range(1, l_max + 1):
        for m in range(l + 1):
            poly = np.polynomial.polynomial.polyval(u, ANGULAR_TABLE[(l, m)][0])
            total = g.T @ (poly * w**m)
            if m == 0:
                S[:, l * l - 1] = total.real
            else:
                S[:, l * l - 2 + 2 * m] = total.real
                S[:, l * l - 1 + 2 * m] = total.imag
    return S


def three_body(S: np.ndarray, l: int) -> float:
    base = l * l - 1
    value = ANGULAR_TABLE[(l, 0)][1] * S[base] ** 2
    for m in range(1, l + 1):
        value += ANGULAR_TABLE[(l, m)][1] * (S[base + 2 * m - 1] ** 2 + S[base + 2 * m] ** 2)
    return value


def reference_descriptors(model: NepModelFile, numbers, positions, cell) -> np.ndarray:
    """The scaled NEP descriptor of every atom of one periodic structure."""
    numbers = np.asarray(numbers)
    positions = np.asarray(positions, dtype=float)
    cell = np.asarray(cell, dtype=float)
    type_of = {}
    for index, z in enumerate(model.species):
        type_of.setdefault(z, index)
    types = np.array([type_of[int(z)] for z in numbers])
    rr = np.asarray(model.radial_cutoffs, dtype=float)
    ra = np.asarray(model.angular_cutoffs, dtype=float)
    pair_r = (rr[:, None] + rr[None, :]) / 2
    pair_a = (ra[:, None] + ra[None, :]) / 2
    cutoff = max(rr.max(), ra.max())
    (nr, na), (br, ba) = model.n_max, model.basis_size
    active = [f for f, on in zip(MANY_BODY_TERMS, model.flags[:6]) if on != 0]
    rows = np.zeros((len(numbers), model.feature_count))
    for a in range(len(numbers)):
        ti = types[a]
        index, vectors = neighbour_vectors(positions, cell, a, cutoff)
        tj = types[index]
        r = np.linalg.norm(vectors, axis=1)
        q_radial = np.zeros(nr + 1)
        inside = r < pair_r[ti, tj]
        if inside.any():
            f = basis_functions(r[inside], pair_r[ti, tj[inside]], br)
            c = model.radial_coefficients[:, :, ti, tj[inside]]  # (n, k, neighbour)
            q_radial = np.einsum("nkj,jk->n", c, f)
        S = np.zeros((na + 1, 80))
        inside = r < pair_a[ti, tj]
        if model.l_max > 0 and inside.any():
            f = basis_functions(r[inside], pair_a[ti, tj[inside]], ba)
            g = np.einsum("nkj,jk->jn", model.angular_coefficients[:, :, ti, tj[inside]], f)
            S = angular_sums(g, vectors[inside], model.l_max)
        slots = [[three_body(S[n], l) for n in range(na + 1)] for l in range(1, model.l_max + 1)]
        slots += [[term(S[n]) for n in range(na + 1)] for term in active]
        row = np.concatenate([q_radial, np.asarray(slots, dtype=float).reshape(-1)])
        rows[a] = row * model.scales
    return rows
