"""Simulates tests/python/data/tensor_gauss.csv and records mgcv's fit of it.

The reference edf comes from mgcv (an independent implementation of the same REML criterion):
    gam(y ~ te(x0, x1, bs = "cr", k = c(5, 5), np = FALSE), method = "REML")
    gam(y ~ s(x2, bs = "cr") + te(x0, x1, bs = "cr", k = c(5, 5), np = FALSE), method = "REML")
Run from the repository root with R and mgcv installed; it rewrites the CSV and the JSON.
"""

import json
import pathlib
import subprocess

import numpy as np

DATA = pathlib.Path(__file__).resolve().parents[1] / "python" / "data"

rng = np.random.default_rng(3)
n = 1000
x = rng.uniform(0.0, 1.0, (n, 3))
y = np.sin(3 * x[:, 0]) * np.cos(4 * x[:, 1]) + np.sin(2 * np.pi * x[:, 2]) + rng.normal(0, 0.3, n)
csv = DATA / "tensor_gauss.csv"
np.savetxt(csv, np.column_stack([x, y]), delimiter=",", header="x0,x1,x2,y", comments="",
           fmt="%.17g")
script = f"""
suppressMessages(library(mgcv))
d <- read.csv("{csv}")
a <- gam(y ~ te(x0, x1, bs = "cr", k = c(5, 5), np = FALSE), data = d, method = "REML")
b <- gam(y ~ s(x2, bs = "cr") + te(x0, x1, bs = "cr", k = c(5, 5), np = FALSE), data = d,
         method = "REML")
cat(sum(a$edf), sum(b$edf), packageDescription("mgcv")$Version, "\\n")
"""
out = subprocess.run(["Rscript", "-e", script], capture_output=True, text=True, check=True)
te_only, with_smooth, version = out.stdout.split()
(DATA / "tensor_gauss.json").write_text(json.dumps(
    {"mgcv_version": version, "edf_total_te": float(te_only),
     "edf_total_s_plus_te": float(with_smooth)}, indent=1) + "\n")
