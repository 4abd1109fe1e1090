#!/usr/bin/env python3
"""The whole road on the shapes sample: generate, train, stop, export, serve, classify.

Usage: demo.py [--budget SECONDS] [--accuracy PERCENT] [--work FOLDER]
Runs headless; every file lives under the work folder (default: build/demo), which is also the
programs' interface folder.
"""

import argparse
import os
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import vela_driver as vd  # noqa: E402

SAMPLES = HERE.parent / "samples"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--budget", type=float, default=300, help="training time budget in seconds (300)")
    parser.add_argument("--accuracy", type=float, default=95,
                        help="stop training once the recent batch accuracy reaches this percent (95)")
    parser.add_argument("--model", default="VoderoVod_32", help="model template to train (VoderoVod_32)")
    in_source_tree = (HERE.parent / "CMakeLists.txt").exists()
    default_work = HERE.parent / "build" / "demo" if in_source_tree else Path(tempfile.gettempdir()) / "vela-demo"
    parser.add_argument("--work", default=os.environ.get("VELA_DEMO_DIR", str(default_work)),
                        help="folder for every file of the run (build/demo)")
    args = parser.parse_args()

    work = Path(args.work).resolve()
    work.mkdir(parents=True, exist_ok=True)
    os.environ["VELA_TMP_DIR"] = str(work)
    os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")
    for leftover in ("ruzerizozize.json", "ruzerizozize.log", "derarodizir.log", "derarodizir_result.png"):
        (work / leftover).unlink(missing_ok=True)

    timings = []

    def step(name, fn):
        print(f"== {name}", flush=True)
        start = time.monotonic()
        result = fn()
        timings.append((name, time.monotonic() - start))
        return result

    gen_folder = work / "gen"
    model_folder = work / "model"
    step("write state", lambda: vd.write_state(SAMPLES / "shapes", gen_folder, model=args.model, gen_size=64))

    def progress_bar(value):
        print(f"\r   generating {value:3d} %", end="", flush=True)

    step("generate", lambda: (vd.gen(on_progress=progress_bar), print()))
    images = len((gen_folder / "data_gen" / "train.list").read_text().splitlines())
    print(f"   {images} training entries in {gen_folder / 'data_gen'}")

    run = step("start training", vd.train)
    recent = []

    def show(state):
        recent.append(state.get("acc", 0))
        del recent[:-10]
        print(f"\r   iteration {state.get('intr', 0):6d}  avg loss {state.get('avg', 0):9.4f}  "
              f"accuracy {state.get('acc', 0):6.2f} %  elapsed {state.get('time_str', '')}",
              end="", flush=True)

    def train_until_good():
        deadline = time.monotonic() + args.budget
        state = None
        while time.monotonic() < deadline and run.running():
            state = run.wait_for(budget=min(5, deadline - time.monotonic()), on_progress=show, poll=0.5)
            if len(recent) >= 10 and sum(recent) / len(recent) >= args.accuracy:
                break
        print()
        return state

    final = step("train", train_until_good)
    step("stop", lambda: vd.stop(run))
    step("export", lambda: vd.export(gen_folder, model_folder))

    server = step("start server", vd.serve)
    step("update model", lambda: vd.update(model_folder))

    def classify_holdout():
        correct = 0
        holdout = sorted((SAMPLES / "shapes_holdout").glob("*.jpg"))
        record = None
        for image in holdout:
            record = vd.test(image)
            best = record["results"][0] if record.get("results") else {"name": "?", "prob": 0}
            truth = image.name.split("_")[0]
            correct += best["name"] == truth
            print(f"   {image.name:16s} -> {best['name']:9s} {best['prob']:6.2f} %")
        print(f"   held-out accuracy {correct}/{len(holdout)}; result picture {record['result_path']}")
        return correct, len(holdout), record

    correct, total, record = step("classify held-out images", classify_holdout)
    step("exit server", lambda: vd.exit(server))

    print("\n== summary")
    if final:
        print(f"   trained {final.get('intr', 0)} iterations, avg loss {final.get('avg', 0):.4f}, "
              f"last batch accuracy {final.get('acc', 0):.2f} %")
    best = record["results"][0] if record.get("results") else {"name": "?", "prob": 0}
    print(f"   last test: class {best['name']}, probability {best['prob']:.2f} %, picture {record['result_path']}")
    print(f"   held-out accuracy: {correct}/{total}")
    for name, seconds in timings:
        print(f"   {name:26s} {seconds:8.1f} s")
    return 0 if correct * 3 >= total * 2 else 1


if __name__ == "__main__":
    try:
        sys.exit(main())
    except vd.DriverError as error:
        print(f"\ndemo failed: {error}", file=sys.stderr)
        sys.exit(2)
