"""Worked example: smooth regression on the diabetes data bundled with scikit-learn.

442 patients; the response is a quantitative measure of disease progression one year after
baseline. We fit
  1. single smooths of body-mass index and of a serum measurement (log triglycerides, "s5") with
     Gaussian, Gamma and logistic models, smoothing parameters chosen by REML/LAML;
  2. an additive model with three smooths and a tensor-product surface of age and blood pressure,
     whose partial effects we plot with their 95% bands, and which we save and reload;
  3. a Tweedie model (power and dispersion estimated) and quantile curves at 10%, 50% and 90%.
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
    paths = [single_smooth_figure(gaussian, gamma, logistic, bmi, s5, y, high)]
    paths.append(additive_figure(data, y))
    paths.append(tweedie_quantile_figure(bmi, y))
    for path in paths:
        print(f"Plot written to {path}")
    return 0


def single_smooth_figure(gaussian, gamma, logistic, bmi, s5, y, high):
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
    plt.close(fig)
    return path


def partial_effect(model, x_grid, term):
    """Term `term`'s contribution X_j beta_j on a grid, with its pointwise 95% Wald band."""
    first, last = model.term_col_ranges()[term]
    x_mat = model.evaluate_lpmatrix(x_grid)[:, first:last]
    beta = model.beta[first:last]
    cov = model.vcov()[first:last, first:last]
    effect = x_mat @ beta
    se = np.sqrt(np.einsum("ij,jk,ik->i", x_mat, cov, x_mat))
    return effect, effect - 1.96 * se, effect + 1.96 * se


def additive_figure(data, y):
    names = list(data.feature_names)
    cols = [names.index(c) for c in ("bmi", "s5", "bp", "age")]
    x = data.data[:, cols].copy()  # columns: bmi, s5, bp, age
    terms = [(0, "cr", 10), (1, "cr", 10), ((3, 2), "te", (5, 5))]
    model = zelki.fit_additive("gaussian", x, y, terms)
    print("Additive model: s(bmi) + s(s5) + te(age, bp):")
    print(f"  edf per penalty {np.round(model.edf_per_term, 2)}, total {model.edf_total:.2f}, "
          f"scale {model.scale:.4g}, converged={model.converged}")

    # Save and reload: the frame restores the model bit for bit.
    frame = model.serialize()
    reloaded = zelki.FittedGam.deserialize(frame)
    same = np.array_equal(reloaded.predict(x), model.predict(x))
    print(f"  saved to {len(frame)} bytes; reloaded predictions identical: {same}")

    medians = np.median(x, axis=0)
    fig, axes = plt.subplots(1, 3, figsize=(15, 4.5))
    for ax, term, column, label in ((axes[0], 0, 0, "body-mass index"),
                                    (axes[1], 1, 1, "log serum triglycerides (s5)")):
        grid = np.linspace(x[:, column].min(), x[:, column].max(), 200)
        x_grid = np.tile(medians, (grid.size, 1))
        x_grid[:, column] = grid
        effect, lo, hi = partial_effect(model, x_grid, term)
        ax.fill_between(grid, lo, hi, alpha=0.3, color="C0", label="95% interval")
        ax.plot(grid, effect, color="C0", lw=2, label="partial effect")
        ax.axhline(0.0, color="0.5", lw=0.8)
        ax.set_xlabel(label)
        ax.set_ylabel("effect on progression")
    axes[0].legend(loc="upper left")

    ages = np.linspace(x[:, 3].min(), x[:, 3].max(), 60)
    bps = np.linspace(x[:, 2].min(), x[:, 2].max(), 60)
    aa, bb = np.meshgrid(ages, bps)
    x_grid = np.tile(medians, (aa.size, 1))
    x_grid[:, 3] = aa.ravel()
    x_grid[:, 2] = bb.ravel()
    effect, _, _ = partial_effect(model, x_grid, 2)
    contour = axes[2].contourf(aa, bb, effect.reshape(aa.shape), levels=15, cmap="RdBu_r")
    axes[2].scatter(x[:, 3], x[:, 2], s=4, color="k", alpha=0.3)
    fig.colorbar(contour, ax=axes[2], label="effect on progression")
    axes[2].set_xlabel("age")
    axes[2].set_ylabel("mean blood pressure")
    axes[2].set_title("te(age, bp)")
    fig.tight_layout()
    path = OUT / "diabetes_additive.png"
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path


def tweedie_quantile_figure(bmi, y):
    tweedie = zelki.fit("tweedie", bmi, y, k=10)
    print(f"Tweedie (log link) fit on BMI: dispersion phi={tweedie.scale:.4g}, "
          f"edf {tweedie.edf_total:.2f}, converged={tweedie.converged}")
    grid = np.linspace(bmi.min(), bmi.max(), 200)[:, None]
    fig, axes = plt.subplots(1, 2, figsize=(11, 4.5))
    band_plot(axes[0], tweedie, bmi, y, "body-mass index")
    axes[0].set_title("Tweedie, log link")
    axes[0].set_ylabel("disease progression")

    axes[1].scatter(bmi[:, 0], y, s=8, alpha=0.4, color="0.3")
    for tau, color in ((0.1, "C2"), (0.5, "C0"), (0.9, "C3")):
        quantile = zelki.fit("quantile", bmi, y, k=10, tau=tau)
        below = np.mean(y < quantile.predict(bmi))
        print(f"Quantile fit tau={tau}: {below:.1%} of the responses lie below the curve")
        axes[1].plot(grid[:, 0], quantile.predict(grid), color=color, lw=2,
                     label=f"{int(tau * 100)}% quantile")
    axes[1].set_xlabel("body-mass index")
    axes[1].set_title("Quantile regression (extended log-F)")
    axes[1].legend(loc="upper left")
    fig.tight_layout()
    path = OUT / "diabetes_tweedie_quantiles.png"
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path


if __name__ == "__main__":
    sys.exit(main())
