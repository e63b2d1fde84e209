"""Independent NumPy rebuild of the single-smooth designs and of the REML/LAML criteria.

Everything here is written from the textbook definitions (natural cubic spline interpolation through
second derivatives, the wiggliness integral of a piecewise-linear second derivative, a Householder
null space for the sum-to-zero constraint, penalised IRLS for canonical links), so that the tests can
compare the compiled fits against a second, separately derived computation.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

LOG_2PI = np.log(2.0 * np.pi)


def place_knots(values: np.ndarray, k: int) -> np.ndarray:
    """k knots at evenly spaced quantiles of the distinct values (linear interpolation)."""
    distinct = np.unique(values)
    if distinct.size < k:
        return np.linspace(distinct[0], distinct[-1], k)
    return np.quantile(distinct, np.arange(k) / (k - 1), method="linear")


def _second_derivatives(knots: np.ndarray) -> np.ndarray:
    """k×k matrix whose column j holds the knot second derivatives of the natural cubic spline
    interpolating the unit vector e_j (zero second derivative at both end knots)."""
    k = knots.size
    h = np.diff(knots)
    # Interior equations: h_{i-1} M_{i-1} + 2(h_{i-1}+h_i) M_i + h_i M_{i+1}
    #                     = 6[(y_{i+1}-y_i)/h_i - (y_i-y_{i-1})/h_{i-1}],  M_0 = M_{k-1} = 0.
    a = np.zeros((k - 2, k - 2))
    rhs = np.zeros((k - 2, k))
    for i in range(1, k - 1):
        r = i - 1
        a[r, r] = 2.0 * (h[i - 1] + h[i])
        if r > 0:
            a[r, r - 1] = h[i - 1]
        if r < k - 3:
            a[r, r + 1] = h[i]
        rhs[r, i - 1] += 6.0 / h[i - 1]
        rhs[r, i] -= 6.0 / h[i - 1] + 6.0 / h[i]
        rhs[r, i + 1] += 6.0 / h[i]
    m = np.zeros((k, k))
    m[1:-1, :] = np.linalg.solve(a, rhs)
    return m


def natural_spline_basis(t: np.ndarray, knots: np.ndarray) -> np.ndarray:
    """n×k cardinal natural cubic spline basis, continued linearly outside the knot range."""
    k = knots.size
    h = np.diff(knots)
    m = _second_derivatives(knots)
    eye = np.eye(k)
    t = np.asarray(t, dtype=float)
    inside = np.clip(t, knots[0], knots[-1])
    i = np.clip(np.searchsorted(knots, inside, side="right") - 1, 0, k - 2)
    hi = h[i][:, None]
    left = (knots[i + 1] - inside)[:, None]
    right = (inside - knots[i])[:, None]
    m0, m1 = m[i], m[i + 1]
    y0, y1 = eye[i], eye[i + 1]
    value = (
        m0 * left**3 / (6 * hi)
        + m1 * right**3 / (6 * hi)
        + (y0 - m0 * hi**2 / 6) * left / hi
        + (y1 - m1 * hi**2 / 6) * right / hi
    )
    slope = (
        -m0 * left**2 / (2 * hi)
        + m1 * right**2 / (2 * hi)
        - (y0 - m0 * hi**2 / 6) / hi
        + (y1 - m1 * hi**2 / 6) / hi
    )
    # Outside the knots the second derivative is zero, so the spline continues along its end tangent.
    return value + slope * (t - inside)[:, None]


def wiggliness_penalty(knots: np.ndarray) -> np.ndarray:
    """S[i, j] = ∫ b_i''(t) b_j''(t) dt over the knot range; b'' is piecewise linear, so each
    interval contributes h·(a_i a_j/3 + (a_i c_j + c_i a_j)/6 + c_i c_j/3) exactly."""
    m = _second_derivatives(knots)
    h = np.diff(knots)
    s = np.zeros((knots.size, knots.size))
    for i, width in enumerate(h):
        a, c = m[i], m[i + 1]
        s += width * (
            np.outer(a, a) / 3 + (np.outer(a, c) + np.outer(c, a)) / 6 + np.outer(c, c) / 3
        )
    return s


def householder_null_space(c: np.ndarray) -> np.ndarray:
    """Columns 1..k-1 of the reflection I − 2vvᵀ/(vᵀv) that maps c onto a multiple of e_0."""
    v = c.astype(float).copy()
    v[0] += np.copysign(np.linalg.norm(c), c[0])
    reflection = np.eye(c.size) - 2.0 * np.outer(v, v) / (v @ v)
    return reflection[:, 1:]


@dataclass
class CrDesign:
    """Model matrix X = [1 | B Z] and the embedded, scaled, centred penalty of a cr smooth."""

    knots: np.ndarray
    centring: np.ndarray
    penalty: np.ndarray
    x: np.ndarray

    def model_matrix(self, t: np.ndarray) -> np.ndarray:
        block = natural_spline_basis(t, self.knots) @ self.centring
        return np.column_stack([np.ones(len(t)), block])


def cr_design(t: np.ndarray, k: int) -> CrDesign:
    knots = place_knots(t, k)
    basis = natural_spline_basis(t, knots)
    raw = wiggliness_penalty(knots)
    # Penalty scaled so that its infinity norm matches the squared infinity norm of the basis.
    scaled = raw * np.abs(basis).sum(axis=1).max() ** 2 / np.abs(raw).sum(axis=1).max()
    z = householder_null_space(basis.sum(axis=0))
    penalty = np.zeros((k, k))
    penalty[1:, 1:] = z.T @ scaled @ z
    x = np.column_stack([np.ones(len(t)), basis @ z])
    return CrDesign(knots, z, penalty, x)


def re_design(t: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """[1 | indicators of the ascending distinct values] and the ridge diag(0, 1, …, 1)."""
    levels = np.unique(t)
    x = np.column_stack([np.ones(len(t)), (t[:, None] == levels[None, :]).astype(float)])
    return x, np.diag(np.r_[0.0, np.ones(levels.size)])


def log_pseudo_det(s: np.ndarray) -> tuple[int, float]:
    """Rank and log pseudo-determinant of a symmetric positive semi-definite matrix."""
    eig = np.linalg.eigvalsh((s + s.T) / 2)
    positive = eig[eig > eig.max() * 1e-9]
    return positive.size, float(np.log(positive).sum())


def gaussian_reml(x, s, y, rho, weights=None) -> float:
    """Negative restricted log-likelihood with the profiled scale φ̂ = D_p/(n − M_p):
    ½log|XᵀWX + λS| − ½log|λS|₊ + D_p/(2φ̂) + ((n − M_p)/2)·log(2πφ̂)
    (the constant ½Σlog wᵢ of weighted data is left out)."""
    w = np.ones(len(y)) if weights is None else weights
    lam = np.exp(rho)
    h = x.T @ (w[:, None] * x) + lam * s
    beta = np.linalg.solve(h, x.T @ (w * y))
    resid = y - x @ beta
    d_p = w @ resid**2 + lam * beta @ s @ beta
    rank, log_det_s = log_pseudo_det(lam * s)
    dof = len(y) - (x.shape[1] - rank)
    phi = d_p / dof
    return (
        0.5 * np.linalg.slogdet(h)[1]
        - 0.5 * log_det_s
        + d_p / (2 * phi)
        + 0.5 * dof * (LOG_2PI + np.log(phi))
    )


# Canonical-link families: inverse link, variance (= working weight) and the negative
# log-likelihood without the terms that depend on y alone (log y! for Poisson).
CANONICAL = {
    "poisson": (np.exp, lambda mu: mu, lambda y, mu: np.sum(mu - y * np.log(mu))),
    "bernoulli": (
        lambda eta: 1.0 / (1.0 + np.exp(-eta)),
        lambda mu: mu * (1.0 - mu),
        lambda y, mu: -np.sum(y * np.log(mu) + (1.0 - y) * np.log1p(-mu)),
    ),
}


def penalised_irls(family, x, s, y, rho, tol=1e-13, max_iter=200):
    """Penalised Newton (= IRLS for a canonical link); returns β̂, μ̂ and H = XᵀWX + λS at β̂."""
    inverse_link, variance, _ = CANONICAL[family]
    lam = np.exp(rho)
    beta = np.zeros(x.shape[1])
    for _ in range(max_iter):
        mu = inverse_link(x @ beta)
        w = variance(mu)
        h = x.T @ (w[:, None] * x) + lam * s
        step = np.linalg.solve(h, x.T @ (y - mu) - lam * s @ beta)
        beta = beta + step
        if np.max(np.abs(step)) < tol * (1 + np.max(np.abs(beta))):
            break
    mu = inverse_link(x @ beta)
    h = x.T @ (variance(mu)[:, None] * x) + lam * s
    return beta, mu, h


def laml(family, x, s, y, rho) -> float:
    """Laplace-approximate negative restricted log-likelihood at scale 1:
    −ℓ(β̂) + ½β̂ᵀλSβ̂ + ½log|H| − ½log|λS|₊ − (M_p/2)·log 2π."""
    _, _, neg_loglik = CANONICAL[family]
    beta, mu, h = penalised_irls(family, x, s, y, rho)
    lam = np.exp(rho)
    rank, log_det_s = log_pseudo_det(lam * s)
    null_dim = x.shape[1] - rank
    return (
        neg_loglik(y, mu)
        + 0.5 * lam * beta @ s @ beta
        + 0.5 * np.linalg.slogdet(h)[1]
        - 0.5 * log_det_s
        - 0.5 * null_dim * LOG_2PI
    )
