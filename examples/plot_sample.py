#!/usr/bin/env python3
"""Reads the sample run and plots a spectrum and a camera image to PNG files.

    zorv-daq gen --sample -o sample
    PYTHONPATH=build/python python3 examples/plot_sample.py "sample/*.raw" out/

Writes out/spectrum.png (the first event's RF1 members) and out/image.png
(the first event's CAM1 image).
"""
import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import zorvdaq  # noqa: E402


def main(pattern, out_dir):
    os.makedirs(out_dir, exist_ok=True)
    with zorvdaq.open(pattern) as run:
        arrays = run.arrays(["RF1", "CAM1"], limit=1)
    rf, info = arrays["RF1"][0], arrays.info["RF1"]

    fig, ax = plt.subplots()
    for m, name in enumerate(info["members"]):
        n = info["ndata"][m] * info["groups"][m]
        x = info["start"][m] + info["inc"][m] * np.arange(n)
        ax.plot(x, rf[m, :n], label=name)
    ax.set_title("RF1, event %d" % arrays.event[0])
    ax.legend()
    fig.savefig(os.path.join(out_dir, "spectrum.png"))

    fig, ax = plt.subplots()
    ax.imshow(arrays["CAM1"][0].astype(np.float32), cmap="gray")
    ax.set_title("CAM1, event %d" % arrays.event[0])
    fig.savefig(os.path.join(out_dir, "image.png"))
    print("wrote", os.path.join(out_dir, "spectrum.png"), os.path.join(out_dir, "image.png"))


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
