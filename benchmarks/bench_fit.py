"""Timing and peak memory of zelki.fit against the tools a user would pick instead.

Each case (family, n, k) simulates one data set, then times zelki, pyGAM (LinearGAM /
PoissonGAM / LogisticGAM with s(0, n_splines=k) and its gridsearch) and, when R with mgcv is
installed, mgcv's gam(y ~ s(x, bs = "cr", k = k), method = "REML") on the same data, each in a
fresh process so that peak memory is its own. A missing peer is skipped; nothing is installed.

    OPENBLAS_NUM_THREADS=1 python benchmarks/bench_fit.py [--sizes 10000 100000 1000000]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

FAMILIES = ("gaussian", "poisson", "binomial", "nb", "tdist", "tweedie", "ocat", "quantile",
            "additive")
# Family parameters of zelki.fit beyond the data (mgcv's installed version has no elf family, so
# the quantile fit has no mgcv peer).
FAMILY_KWARGS = {"ocat": {"r": 4}, "quantile": {"tau": 0.5}}
PYGAM_CLASS = {"gaussian": "LinearGAM", "poisson": "PoissonGAM", "binomial": "LogisticGAM"}
R_FAMILY = {"gaussian": "gaussian()", "poisson": "poisson()", "binomial": "binomial()",
            "nb": "nb()", "tdist": "scat()", "tweedie": "tw()", "ocat": "ocat(R = 4)",
            "additive": "gaussian()"}
# The additive case: a Gaussian fit of three smooths plus a tensor smooth that shares x0 (k is
# fixed by the terms, so the case runs once per size).
ADDITIVE_TERMS = [(0, "cr"), (1, "cr"), (2, "cr"), ((0, 3), "te", (5, 5))]
ADDITIVE_WIDTH = 1 + 3 * 9 + 24
R_FORMULA = {"additive": 'y ~ s(x0, bs = "cr") + s(x1, bs = "cr") + s(x2, bs = "cr") + '
                         'te(x0, x3, bs = "cr", k = c(5, 5), np = FALSE)'}


def simulate(family: str, n: int, seed: int = 1) -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    if family == "additive":
        x = rng.uniform(0.0, 1.0, (n, 4))
        f = (np.sin(2.0 * np.pi * x[:, 0]) + np.exp(2.0 * x[:, 1]) / 4.0
             + 5.0 * x[:, 2] ** 2 * (1.0 - x[:, 2]) + np.sin(3.0 * x[:, 0] * x[:, 3]))
        return x, f + rng.normal(0.0, 0.3, n)
    x = rng.uniform(0.0, 1.0, (n, 1))
    f = np.sin(2.0 * np.pi * x[:, 0])
    if family == "gaussian":
        y = f + rng.normal(0.0, 0.3, n)
    elif family == "poisson":
        y = rng.poisson(np.exp(1.0 + f)).astype(float)
    elif family == "nb":
        mu = np.exp(1.0 + f)
        y = rng.negative_binomial(3.0, 3.0 / (3.0 + mu)).astype(float)
    elif family == "tdist":
        y = 2.0 * f + 0.5 * rng.standard_t(5.0, n)
    elif family == "tweedie":
        # Compound Poisson–gamma with p = 1.5, φ = 1.2.
        mu = np.exp(0.5 + f)
        count = rng.poisson(mu**0.5 / (1.2 * 0.5))
        y = np.where(count > 0, rng.gamma(np.maximum(count, 1) * 1.0, 1.2 * 0.5 * mu**0.5), 0.0)
    elif family == "ocat":
        # Latent logistic variable cut at (−1, 0.5, 2): categories 1 … 4.
        latent = 0.3 + 1.5 * f + rng.logistic(size=n)
        y = 1.0 + np.searchsorted(np.array([-1.0, 0.5, 2.0]), latent).astype(float)
    elif family == "quantile":
        y = f + (0.3 + 0.5 * x[:, 0]) * rng.gamma(2.0, 1.0, n)
    else:
        y = (rng.uniform(size=n) < 1.0 / (1.0 + np.exp(-2.0 * f))).astype(float)
    return x, y


# ---------------------------------------------------------------- worker side (fresh process)


def _peak_rss_bytes() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def _reset_peak_rss() -> None:
    # Writing 5 to clear_refs resets the high-water mark of the resident set (Linux ≥ 4.0).
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass


def worker(tool: str, family: str, k: int, data: str, reps: int) -> None:
    loaded = np.load(data)
    x, y = loaded["x"], loaded["y"]
    if tool == "zelki" and family == "additive":
        import zelki

        def run():
            return zelki.fit_additive("gaussian", x, y, ADDITIVE_TERMS)
    elif tool == "zelki":
        import zelki

        def run():
            return zelki.fit(family, x, y, k=k, **FAMILY_KWARGS.get(family, {}))
    else:
        import pygam

        def run():
            model = getattr(pygam, PYGAM_CLASS[family])(pygam.s(0, n_splines=k))
            return model.gridsearch(x, y, progress=False)

    run()  # warm-up: imports, page-ins
    times = []
    peak = 0
    for _ in range(reps):
        _reset_peak_rss()
        base = _peak_rss_bytes()
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
        peak = max(peak, _peak_rss_bytes() - base)
    print(json.dumps({"median": statistics.median(times), "peak": peak}))


# ---------------------------------------------------------------- driver side


def run_python_tool(tool, family, k, data, reps, timeout):
    cmd = [sys.executable, __file__, "--worker", tool, family, str(k), str(data), str(reps)]
    try:
        out = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, check=True)
    except subprocess.TimeoutExpired:
        return {"error": f"over {timeout:.0f} s"}
    except subprocess.CalledProcessError as e:
        return {"error": (e.stderr.strip().splitlines() or ["failed"])[-1][:60]}
    return json.loads(out.stdout.strip().splitlines()[-1])


def run_mgcv(family, k, csv, reps, timeout):
    formula = R_FORMULA.get(family, f'y ~ s(x, bs = "cr", k = {k})')
    script = f"""
suppressMessages(library(mgcv))
d <- read.csv("{csv}")
invisible(gam({formula}, family = {R_FAMILY[family]}, data = d, method = "REML"))
t <- numeric({reps})
for (i in seq_len({reps})) {{
  t[i] <- system.time(gam({formula}, family = {R_FAMILY[family]},
                          data = d, method = "REML"))[["elapsed"]]
}}
cat(median(t), "\\n")
"""
    try:
        out = subprocess.run(["Rscript", "-e", script], capture_output=True, text=True,
                             timeout=timeout, check=True)
    except subprocess.TimeoutExpired:
        return {"error": f"over {timeout:.0f} s"}
    except subprocess.CalledProcessError as e:
        return {"error": (e.stderr.strip().splitlines() or ["failed"])[-1][:60]}
    return {"median": float(out.stdout.split()[-1]), "peak": None}


def have_pygam() -> bool:
    probe = subprocess.run([sys.executable, "-c", "import pygam"], capture_output=True)
    return probe.returncode == 0


def have_mgcv() -> bool:
    if shutil.which("Rscript") is None:
        return False
    probe = subprocess.run(["Rscript", "-e", "library(mgcv)"], capture_output=True)
    return probe.returncode == 0


def fmt_time(result):
    if result is None:
        return "-"
    if "error" in result:
        return result["error"]
    return f"{result['median']:.3f} s"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[10_000, 100_000, 1_000_000])
    parser.add_argument("--ks", type=int, nargs="+", default=[10, 40])
    parser.add_argument("--families", nargs="+", default=list(FAMILIES))
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--peer-timeout", type=float, default=300.0,
                        help="seconds before a peer's run is abandoned")
    args = parser.parse_args()

    peers = []
    if have_pygam():
        peers.append("pygam")
    if have_mgcv():
        peers.append("mgcv")
    print(f"peers: {', '.join(peers) or 'none installed'}; OPENBLAS_NUM_THREADS="
          f"{os.environ.get('OPENBLAS_NUM_THREADS', 'unset')}")
    header = f"{'family':9} {'n':>8} {'k':>3} {'zelki':>9} {'peak/X':>7}"
    for peer in peers:
        header += f" {peer:>12} {'ratio':>7}"
    print(header)

    with tempfile.TemporaryDirectory() as tmp:
        for family in args.families:
            for n in args.sizes:
                x, y = simulate(family, n)
                data = Path(tmp) / "data.npz"
                np.savez(data, x=x, y=y)
                csv = Path(tmp) / "data.csv"
                if "mgcv" in peers:
                    names = ("x0,x1,x2,x3," if family == "additive" else "x,") + "y"
                    columns = x if family == "additive" else x[:, :1]
                    np.savetxt(csv, np.column_stack([columns, y]), delimiter=",",
                               header=names, comments="", fmt="%.17g")
                reps = args.reps if n <= 100_000 else 1
                for k in args.ks[:1] if family == "additive" else args.ks:
                    ours = run_python_tool("zelki", family, k, data, reps, args.peer_timeout)
                    x_bytes = n * (ADDITIVE_WIDTH if family == "additive" else k) * 8
                    line = f"{family:9} {n:>8} {k:>3} {fmt_time(ours):>9}"
                    line += f" {ours['peak'] / x_bytes:7.2f}" if "peak" in ours else f" {'-':>7}"
                    for peer in peers:
                        if peer == "pygam" and family not in PYGAM_CLASS:
                            theirs = None
                        elif peer == "mgcv" and family not in R_FAMILY:
                            theirs = None
                        elif peer == "pygam":
                            theirs = run_python_tool("pygam", family, k, data, reps,
                                                     args.peer_timeout)
                        else:
                            theirs = run_mgcv(family, k, csv, reps, args.peer_timeout)
                        ratio = (f"{ours['median'] / theirs['median']:7.3f}"
                                 if theirs and "median" in ours and "median" in theirs else f"{'-':>7}")
                        line += f" {fmt_time(theirs):>12} {ratio}"
                    print(line, flush=True)
    print("ratio = zelki time / peer time (below 1: zelki is faster); peak/X = zelki's peak "
          "memory during the fit over the size of the n×k model matrix")
    return 0


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--worker":
        worker(sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5], int(sys.argv[6]))
    else:
        sys.exit(main())
