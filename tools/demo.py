#!/usr/bin/env python3
"""The whole road on the shapes sample: generate with a held-out share, train to the end of an
epoch budget while the validation accuracy shows, export the best weights, serve, classify.

Usage: demo.py [--epochs N] [--budget SECONDS] [--accuracy PERCENT] [--work FOLDER]
Runs headless; every file lives under the work folder (default: build/demo), which is also the
programs' interface folder.
"""

import argparse
import os
import sys
import tempfile
import time
import warnings
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import vela_driver as vd  # noqa: E402

SAMPLES = HERE.parent / "samples"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--epochs", type=int, default=50,
                        help="training budget in passes over the training list; the run ends there (50)")
    parser.add_argument("--valid", type=int, default=20, help="percent of each class held out for validation (20)")
    parser.add_argument("--budget", type=float, default=300,
                        help="the most seconds to wait for the run; it is stopped then (300)")
    parser.add_argument("--accuracy", type=float, default=None,
                        help="stop early once the validation accuracy reaches this percent (off)")
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
    # A fresh training each time: no continuation of an earlier demo's weights.
    step("write state", lambda: vd.write_state(SAMPLES / "shapes", gen_folder, model=args.model, gen_size=64,
                                               valid_percent=args.valid, epochs=args.epochs, continue_train=False))

    def progress_bar(value):
        print(f"\r   generating {value:3d} %", end="", flush=True)

    def generate():
        with warnings.catch_warnings(record=True) as noted:
            warnings.simplefilter("always")
            vd.gen(on_progress=progress_bar)
        print()
        for warning in noted:
            print(f"   note: {warning.message}")

    step("generate", generate)
    data_gen = gen_folder / "data_gen"
    images = len((data_gen / "train.list").read_text().splitlines())
    held = len((data_gen / "test.list").read_text().splitlines())
    print(f"   {images} training entries, {held} held-out images in {data_gen}")

    run = step("start training", vd.train)

    def show(state):
        validation = (f"validation {state['val_acc']:6.2f} % (best {state['best_val_acc']:6.2f} %)"
                      if "val_acc" in state else "validation    -")
        print(f"\r   iteration {state.get('intr', 0):6d}  avg loss {state.get('avg', 0):8.4f}  "
              f"batch {state.get('acc', 0):6.2f} %  {validation}  elapsed {state.get('time_str', '')}",
              end="", flush=True)

    def train_to_the_end():
        deadline = time.monotonic() + args.budget
        state = None
        while time.monotonic() < deadline and run.running():
            state = run.wait_for(budget=min(5, deadline - time.monotonic()), on_progress=show, poll=0.5,
                                 val_accuracy=args.accuracy) or state
            if args.accuracy is not None and state and state.get("val_acc", -1) >= args.accuracy:
                break
        print()
        if not run.finished():
            step("stop", lambda: vd.stop(run))
        return state

    final = step("train", train_to_the_end)
    end = run.end()
    report = run.report() or {}
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
    how = f"ended by itself ({end['reason']})" if end else "stopped at the time budget"
    print(f"   trained {report.get('iterations', 0)} iterations ({args.epochs} epochs budgeted), {how}")
    validation = report.get("validation", {})
    if "best_top1" in validation:
        print(f"   validation accuracy: best {100 * validation['best_top1']:.2f} % on {validation['images']} held-out "
              f"images (iteration {validation['best_iteration']}), exported as the model")
        for entry in validation.get("per_class", []):
            accuracy = "-" if entry["top1"] is None else f"{100 * entry['top1']:6.2f} %"
            print(f"     {entry['class']:12s} {entry['images']:4d} images  {accuracy}")
    if final:
        print(f"   last batch accuracy {final.get('acc', 0):.2f} %, avg loss {final.get('avg', 0):.4f}")
    best = record["results"][0] if record.get("results") else {"name": "?", "prob": 0}
    print(f"   held-out accuracy: {correct}/{total} (samples/shapes_holdout, never trained on)")
    print(f"   last test: class {best['name']}, probability {best['prob']:.2f} %, picture {record['result_path']}")
    print(f"   report picture: {run.report_picture()}")
    for name, seconds in timings:
        print(f"   {name:26s} {seconds:8.1f} s")
    return 0 if correct * 3 >= total * 2 else 1


if __name__ == "__main__":
    try:
        sys.exit(main())
    except vd.DriverError as error:
        print(f"\ndemo failed: {error}", file=sys.stderr)
        sys.exit(2)
