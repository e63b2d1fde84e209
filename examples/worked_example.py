"""Worked example: smooth regression on the diabetes data bundled with scikit-learn.

442 patients; the response is a quantitative measure of disease progression one year after
baseline. We fit smooth effects of body-mass index and of a serum measurement (log triglycerides,
"s5") with smoothing parameters chosen by REML, and plot each fit with its 95% Wald band.
"""

from __future__ import annotations

import pathlib
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from sklearn.datasets import load_diabetes  # noqa: E402

import zelki  # noqa: E402

OUT = pathlib.Path(__file__).resolve().parent / "output"


def describe(name: str, model: zelki.FittedGam) -> None:
    print(f"{name}:")
    print(f"  converged={model.converged} after {model.n_iters} outer iterations, n={model.n}")
    print(f"  smoothing parameter lambda={getattr(model, 'lambda')[0]:.4g}"
          f" (rho={model.rho[0]:.3f})")
    print(f"  edf: total {model.edf_total:.2f}, smooth {model.edf_per_term[0]:.2f}")
    print(f"  scale={model.scale:.4g}, REML/LAML criterion={model.reml_value:.4f}")


def band_plot(ax, model, x, y, label, jitter=0.0):
    """The fitted mean with its 95% band over the data; x is the one-column covariate."""
    grid = np.linspace(x[:, 0].min(), x[:, 0].max(), 200)
    mean, lo, hi = model.predict_ci(grid[:, None], level=0.95, scale="response")
    rng = np.random.default_rng(0)
    ax.scatter(x[:, 0], y + jitter * rng.uniform(-1, 1, y.size), s=8, alpha=0.4,
               color="0.3", label="data")
    ax.fill_between(grid, lo, hi, alpha=0.3, color="C0", label="95% interval")
    ax.plot(grid, mean, color="C0", lw=2, label="fitted smooth")
    ax.set_xlabel(label)


def main() -> int:
    data = load_diabetes(scaled=False)
    names = list(data.feature_names)
    bmi = data.data[:, [names.index("bmi")]].copy()
    s5 = data.data[:, [names.index("s5")]].copy()
    y = data.target.astype(float)

    gaussian = zelki.fit("gaussian", bmi, y, k=10)
    describe("Gaussian fit of disease progression on BMI", gaussian)
    gamma = zelki.fit("gamma", s5, y, k=10)
    describe("Gamma (log link) fit of disease progression on log triglycerides", gamma)
    high = (y > np.median(y)).astype(float)
    logistic = zelki.fit("binomial", bmi, high, k=10)
    describe("Logistic fit of P(progression above the median) on BMI", logistic)

    # An interval for a contrast: BMI 35 against BMI 22, on the link scale.
    diff, lo, hi = gaussian.predict_diff(np.array([[35.0]]), np.array([[22.0]]))
    print(f"Progression at BMI 35 minus BMI 22: {diff[0]:.1f} (95% CI {lo[0]:.1f} to {hi[0]:.1f})")

    OUT.mkdir(exist_ok=True)
    fig, axes = plt.subplots(1, 3, figsize=(15, 4.5))
    band_plot(axes[0], gaussian, bmi, y, "body-mass index")
    axes[0].set_ylabel("disease progression")
    axes[0].set_title("Gaussian, identity link")
    band_plot(axes[1], gamma, s5, y, "log serum triglycerides (s5)")
    axes[1].set_title("Gamma, log link")
    band_plot(axes[2], logistic, bmi, high, "body-mass index", jitter=0.02)
    axes[2].set_ylabel("P(progression > median)")
    axes[2].set_title("Bernoulli, logit link")
    axes[0].legend(loc="upper left")
    fig.tight_layout()
    path = OUT / "diabetes_smooths.png"
    fig.savefig(path, dpi=110)
    print(f"Plot written to {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
