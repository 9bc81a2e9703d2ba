#!/usr/bin/env python3
"""Writes data/cie_table.txt, the band filter's spectral-locus table, from
data/cie1931_2deg_xy_1nm.csv: one record per wavelength 360..699 nm, in the
form "360, 0.175560, 0.005294", numbers copied as they stand in the CSV."""
import csv
import pathlib

data = pathlib.Path(__file__).resolve().parent.parent / "data"
rows = {}
with open(data / "cie1931_2deg_xy_1nm.csv", newline="") as f:
    for row in csv.DictReader(f):
        rows[int(row["wavelength_nm"])] = (row["x"], row["y"])

with open(data / "cie_table.txt", "w", newline="\n") as out:
    for nm in range(360, 700):
        x, y = rows[nm]
        out.write(f"{nm}, {x}, {y}\n")
