"""The notebook driver and the demo, against the real programs of this build."""

import array
import contextlib
import http.server
import io
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import zlib
from unittest import mock
from pathlib import Path

SOURCE = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(SOURCE / "tools"))

import vela_driver as vd  # noqa: E402

SAMPLES = SOURCE / "samples"


def png_size(path):
    with open(path, "rb") as f:
        header = f.read(24)
    assert header[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    return struct.unpack(">II", header[16:24])


class InterfaceFolder(unittest.TestCase):
    """Each test gets its own interface folder."""

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="vela driver ")
        self.work = Path(self.tmp.name)
        self.previous = os.environ.get("VELA_TMP_DIR")
        os.environ["VELA_TMP_DIR"] = str(self.work)
        os.environ["QT_QPA_PLATFORM"] = "offscreen"

    def tearDown(self):
        if self.previous is None:
            os.environ.pop("VELA_TMP_DIR", None)
        else:
            os.environ["VELA_TMP_DIR"] = self.previous
        self.tmp.cleanup()


class TheWholeRoad(InterfaceFolder):
    def test_generate_train_stop_export_serve_classify(self):
        gen_folder = self.work / "gen"
        state = vd.write_state(SAMPLES / "shapes", gen_folder, model="VoderoVod_32", gen_size=64, use_augmen=False)
        self.assertEqual(state["batch"], 16)  # the trainer's defaults fill what was not given
        progress = []
        self.assertEqual(vd.gen(on_progress=progress.append), 100)
        self.assertEqual(progress, sorted(progress))

        run = vd.train()
        seen = []
        state = run.wait_for(iterations=1500, budget=180, on_progress=seen.append, poll=0.3)
        self.assertGreaterEqual(state["intr"], 1500)
        self.assertEqual(state["backend"], "CPU")
        self.assertLess(seen[-1]["avg"], seen[0]["avg"])
        vd.stop(run)
        self.assertFalse(run.running())

        model = vd.export(gen_folder, self.work / "model")
        self.assertEqual(sorted(p.name for p in model.iterdir()), ["names.list", "test.cfg", "train.weights"])

        server = vd.serve()
        try:
            self.assertTrue(vd.update(model)["load_model"])
            record = vd.test(SAMPLES / "shapes_holdout" / "square_0.jpg")
            self.assertEqual(record["results"][0]["name"], "square")
            # Every class's probability, in names.list order, beside the one top result.
            self.assertEqual(list(record["probs"]), (model / "names.list").read_text().split("\n"))
            self.assertEqual(record["probs"]["square"], record["results"][0]["prob"])
            self.assertAlmostEqual(sum(record["probs"].values()), 100, delta=0.05)
            self.assertEqual(max(png_size(record["result_path"])), 608)
            holdout = [SAMPLES / "shapes_holdout" / name for name in ("circle_0.jpg", "square_0.jpg")]
            records = vd.test_many(holdout)
            self.assertEqual([r["results"][0]["name"] for r in records], ["circle", "square"])

            with self.assertRaises(vd.DriverError) as failure:
                vd.test(self.work / "no such image.png")
            self.assertIn("test_error", str(failure.exception))
            with self.assertRaises(vd.DriverError) as failure:
                vd.update(self.work / "empty model")
            self.assertIn("not found : ", str(failure.exception))
        finally:
            vd.exit(server)
        self.assertEqual(server.process.returncode, 0)


class HeldOutValidation(InterfaceFolder):
    def test_best_weights_report_and_server_agree(self):
        gen_folder = self.work / "gen"
        vd.write_state(SAMPLES / "shapes", gen_folder, model="VoderoVod_32", gen_size=64, use_augmen=False,
                       valid_percent=20)
        with self.assertWarns(UserWarning) as warned:
            vd.gen()
        data_gen = gen_folder / "data_gen"
        held = (data_gen / "test.list").read_text().split("\n")
        self.assertIn(f"only {len(held)} images", str(warned.warning))
        self.assertFalse(set(held) & set((data_gen / "train.list").read_text().split("\n")))

        # Stopped at the first evaluation, so that the held-out accuracy is not simply 100 %.
        run = vd.train()
        state = run.wait_for(val_accuracy=0, budget=120, poll=0.3)
        self.assertIn("val_acc", state)
        self.assertGreaterEqual(state["best_val_acc"], state["val_acc"])
        vd.stop(run)
        report = run.report()
        validation = report["validation"]
        self.assertEqual(sum(map(sum, validation["confusion"])), len(held))
        self.assertEqual(max(e["top1"] for e in validation["evaluations"]), validation["best_top1"])
        self.assertEqual(png_size(run.report_picture()), (1200, 800))

        model = vd.export(gen_folder, self.work / "model")
        self.assertEqual((model / "train.weights").read_bytes(), (data_gen / "backup" / "train.best").read_bytes())

        # seerkeep, on the same weights and pictures, counts the same correct answers (within one).
        labels = (data_gen / "labels.txt").read_text().split("\n")
        names = (data_gen / "names.list").read_text().split("\n")
        server = vd.serve()
        try:
            self.assertTrue(vd.update(model)["load_model"])
            correct = 0
            for entry in held:
                truth = next(names[i] for i, label in enumerate(labels) if label in entry)
                correct += vd.test(gen_folder / entry)["results"][0]["name"] == truth
        finally:
            vd.exit(server)
        self.assertLessEqual(abs(correct - round(validation["best_top1"] * len(held))), 1)


class AStopNobodyAskedFor(InterfaceFolder):
    def test_a_second_forgewright_ending_the_training_is_reported(self):
        gen_folder = self.work / "gen"
        vd.write_state(SAMPLES / "shapes", gen_folder, model="VoderoVod_32", gen_size=64, use_augmen=False)
        vd.gen()
        run = vd.train()
        # The trainer window opened by hand: its start-up creates the stop file.
        window = subprocess.Popen([vd._find_program("run-forgewright", "VELA_FORGEWRIGHT")], env=vd._program_env(),
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            with self.assertRaises(vd.TrainingStopped) as stopped:
                run.wait_for(iterations=10 ** 9, budget=120, poll=0.3)
        finally:
            window.terminate()
            window.wait(timeout=30)
        self.assertIn("another forgewright", str(stopped.exception))
        self.assertEqual(run.unasked_stop, str(stopped.exception))
        self.assertEqual(run.process.returncode, 0)
        with self.assertWarns(UserWarning):
            vd.stop(run)


class WeightsServer(http.server.ThreadingHTTPServer):
    """Serves files from memory on 127.0.0.1: path -> (body, declared length); counts requests."""

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            self.server.requests.append(self.path)
            if self.path not in self.server.files:
                self.send_error(404)
                return
            body, declared = self.server.files[self.path]
            self.send_response(200)
            self.send_header("Content-Length", str(declared))
            self.end_headers()
            self.wfile.write(body)  # a body shorter than declared: the connection ends early

        def log_message(self, *args):
            pass

    def __init__(self):
        super().__init__(("127.0.0.1", 0), self.Handler)
        self.files, self.requests = {}, []
        self.url = f"http://127.0.0.1:{self.server_address[1]}/files"
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def serve(self, name, body, declared=None):
        self.files["/files/" + name] = (body, len(body) if declared is None else declared)


class PretrainedWeights(InterfaceFolder):
    """pretrained() against darknet-shaped files served locally, never the real site."""

    def setUp(self):
        super().setUp()
        self.server = WeightsServer()
        self.addCleanup(self.server.server_close)
        self.addCleanup(self.server.shutdown)
        self.cache = self.work / "cache"
        floats = json.loads((SOURCE / "tools" / "pretrained_weights.json").read_text())["models"]["darknet"]["floats"]
        pattern = array.array("f", [0.01 * (i + 1) for i in range(7)]).tobytes()
        # The darknet reference network at 1000 classes: a version 0.2.0 header, its parameters.
        self.good = struct.pack("<iiiQ", 0, 2, 0, 0) + pattern * (floats // 7) + pattern[:4 * (floats % 7)]
        environment = {"VELA_PRETRAINED_URL": self.server.url, "VELA_PRETRAINED_CACHE": str(self.cache)}
        patch = mock.patch.dict(os.environ, environment)
        patch.start()
        self.addCleanup(patch.stop)

    def test_a_good_file_is_fetched_once_and_starts_the_training(self):
        self.server.serve("darknet.weights", self.good)
        shown = io.StringIO()
        with contextlib.redirect_stdout(shown):
            path = vd.pretrained("darknet")
            self.assertEqual(vd.pretrained("darknet"), path)
        self.assertEqual(self.server.requests, ["/files/darknet.weights"])
        self.assertIn("pretrained: downloaded darknet.weights", shown.getvalue())
        self.assertEqual(path.read_bytes(), self.good)
        self.assertEqual(sorted(p.name for p in self.cache.iterdir()), ["darknet.weights"])
        with self.assertRaises(vd.DriverError) as failure:
            vd.pretrained("VoderoVod_32")
        self.assertIn("the templates that have them: alexnet, darknet,", str(failure.exception))

        gen_folder = self.work / "gen"
        state = vd.write_state(SAMPLES / "shapes", gen_folder, model="darknet", pretrained=True, gen_size=64,
                               use_augmen=False, batch=2, subdivisions=1)
        self.assertEqual((state["continue_custom"], state["custom_wg"]), (True, str(path)))
        vd.gen()
        run = vd.train()
        run.wait_for(iterations=1, budget=300, poll=0.3)
        vd.stop(run)
        # Its first convolution (16 biases, scales, means and variances, then 16 x 3 x 3 x 3
        # weights) came from the file and, in the first steps of the burn-in, stayed there.
        start, end = 20 + 4 * 64, 20 + 4 * (64 + 432)
        trained = array.array("f", (gen_folder / "data_gen" / "backup" / "train.backup").read_bytes()[start:end])
        given = array.array("f", self.good[start:end])
        self.assertLess(max(abs(a - b) for a, b in zip(trained, given)), 1e-5)

    def test_a_download_that_is_not_the_templates_weights_leaves_nothing(self):
        half = self.good[:len(self.good) // 2]
        cases = [("darknet", "darknet.weights", half, None, "it is cut short"),
                 ("darknet", "darknet.weights", half, len(self.good), "was cut short at"),
                 ("resnet18", "resnet18.weights", self.good, None, "it holds the 7323480 parameters of darknet"),
                 ("darknet", "darknet.weights", b"<html>not found</html>", None, "darknet weights header")]
        for model, name, body, declared, reason in cases:
            self.server.serve(name, body, declared)
            with self.subTest(reason), contextlib.redirect_stdout(io.StringIO()):
                with self.assertRaises(vd.DriverError) as failure:
                    vd.write_state(SAMPLES / "shapes", self.work / "gen", model=model, pretrained=True)
                self.assertIn(reason, str(failure.exception))
                self.assertIn("nothing is cached", str(failure.exception))
                self.assertEqual(list(self.cache.iterdir()), [])
                self.assertFalse((self.work / vd.STATE_FILE).exists())


class ClearErrors(InterfaceFolder):
    def test_missing_project_folder(self):
        with self.assertRaises(vd.DriverError):
            vd.write_state(self.work / "missing", self.work / "gen")

    def test_export_without_training(self):
        (self.work / "gen" / "data_gen").mkdir(parents=True)
        with self.assertRaises(vd.DriverError) as failure:
            vd.export(self.work / "gen", self.work / "model")
        self.assertIn("train.backup", str(failure.exception))
        self.assertFalse((self.work / "model").exists())

    def test_write_state_keeps_other_keys(self):
        vd.write_state(SAMPLES / "shapes", self.work / "gen", batch=8)
        state = vd.write_state(SAMPLES / "shapes", self.work / "gen2", model="darknet19")
        self.assertEqual(state["batch"], 8)
        self.assertEqual(state["model"], "darknet19")
        self.assertEqual(Path(state["gen_path"]), (self.work / "gen2").resolve())

    def test_records_that_are_not_whole_read_as_none(self):
        log = self.work / "log"
        log.write_text('{"state": "test_')
        self.assertIsNone(vd.read_record(log))
        log.write_text('{"state": "test_end"}\n')
        self.assertEqual(vd.read_record(log), {"state": "test_end"})


class FailuresEndInRecords(InterfaceFolder):
    """Each failure on the notebook's road ends in a record that says why; nothing hangs."""

    def generate(self, project=SAMPLES / "shapes", **settings):
        gen_folder = self.work / "gen"
        vd.write_state(project, gen_folder, model="VoderoVod_32", gen_size=64, use_augmen=False, **settings)
        vd.gen()
        return gen_folder / "data_gen"

    def test_a_refused_configuration_raises_with_the_trainers_reason(self):
        data_gen = self.generate()
        cfg = data_gen / "train.cfg"
        cfg.write_text(cfg.read_text().replace("filters=3\nsize=1", "filters=7\nsize=1"))
        started = time.monotonic()
        with self.assertRaises(vd.DriverError) as failure:
            vd.train().wait_for(budget=120)
        self.assertLess(time.monotonic() - started, 30)
        self.assertIn("7 outputs", str(failure.exception))
        self.assertEqual(failure.exception.end["code"], 1)
        self.assertIn("classes=3", failure.exception.end["reason"])
        # forgewright stayed for the stop file, and the stop file ended it with 0.
        run = failure.exception.run
        if run.running():
            vd.stop(run)
        self.assertEqual(run.process.returncode, 0)

    def test_a_model_switch_counts_the_generated_classes_and_keeps_the_old_backup(self):
        data_gen = self.generate(unknown_classes=1, use_random_class=True)
        self.assertEqual(len((data_gen / "labels.txt").read_text().split("\n")), 5)
        old_weights = b"weights of the VoderoVod_32 network"
        (data_gen / "backup" / "train.backup").write_bytes(old_weights)
        vd.write_state(SAMPLES / "shapes", data_gen.parent, model="VoderoVod_64")
        run = vd.train()
        try:
            state = run.wait_for(iterations=1, budget=120)
            self.assertGreaterEqual(state["intr"], 1)
        finally:
            vd.stop(run)
        self.assertEqual(re.findall(r"filters=(\d+)\nsize=1\nstride=1\npad=1\nactivation=linear",
                                    (data_gen / "train.cfg").read_text()), ["5"])
        self.assertEqual((data_gen / "version").read_text(), "0:VoderoVod_64")
        self.assertEqual((data_gen / "backup" / "train.VoderoVod_32.backup").read_bytes(), old_weights)
        self.assertNotEqual((data_gen / "backup" / "train.backup").read_bytes(), old_weights)

    def test_a_motion_photo_is_kept_and_a_cut_photo_counted_as_skipped(self):
        project = self.work / "project"
        shutil.copytree(SAMPLES / "shapes", project)
        photo = (project / "circle" / "circle_0.jpg").read_bytes()
        # The appended video holds a start-of-scan marker, as real ones do.
        video = os.urandom(100 * 1024) + b"\xff\xda" + os.urandom(100 * 1024)
        (project / "circle" / "motion.jpg").write_bytes(photo + video)
        (project / "square" / "cut.jpg").write_bytes(photo[: len(photo) // 2])
        with self.assertWarns(UserWarning) as warned:
            data_gen = self.generate(project, use_class_balancing=False)
        self.assertIn("skipped 1 source", str(warned.warning))
        self.assertEqual(vd.read_record(self.work / "ruzerizozize.log")["gen_skipped"], 1)
        self.assertEqual(len(list((data_gen / "train").iterdir())), 91)
        self.assertEqual(len((data_gen / "train.list").read_text().split("\n")), 91)

    def test_settings_whose_output_cannot_fit_write_nothing(self):
        gen_folder = self.work / "gen"
        vd.write_state(SAMPLES / "shapes", gen_folder, model="VoderoVod_32", gen_size=64, use_augmen=False)
        done = subprocess.run([vd._find_program("run-forgewright", "VELA_FORGEWRIGHT"), "gen"],
                              env=vd._program_env(), capture_output=True, text=True, timeout=600)
        self.assertEqual(done.returncode, 0, done.stderr[-2000:])
        records = [json.loads(line) for line in done.stdout.splitlines() if line.startswith("{")]
        self.assertEqual(records[0]["gen_total"], 90)
        self.assertEqual(records[-1]["gen_skipped"], 0)
        data_gen = gen_folder / "data_gen"
        before = sorted((p.relative_to(data_gen), p.stat().st_mtime_ns) for p in data_gen.rglob("*"))

        # Augmented copies at 608 x 608 do not fit in 5 MB.
        vd.write_state(SAMPLES / "shapes", gen_folder, use_augmen=True)
        os.environ["VELA_TEST_FREE_BYTES"] = str(5 * 1024 * 1024)
        try:
            with self.assertRaises(vd.DriverError) as failure:
                vd.gen()
        finally:
            del os.environ["VELA_TEST_FREE_BYTES"]
        self.assertRegex(str(failure.exception), r"\d+ bytes, 5242880 free")
        self.assertIn("gen_error", vd.read_record(self.work / "ruzerizozize.log"))
        self.assertEqual(sorted((p.relative_to(data_gen), p.stat().st_mtime_ns) for p in data_gen.rglob("*")),
                         before)


def png_declaring(path, side):
    """A grayscale PNG of side x side black pixels: a few hundred KB that decode to side^2 bytes."""
    packer = zlib.compressobj(9)
    row = b"\0" * (side + 1)
    data = b"".join(packer.compress(row) for _ in range(side)) + packer.flush()

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    Path(path).write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", side, side, 8, 0, 0, 0, 0))
                           + chunk(b"IDAT", data) + chunk(b"IEND", b""))


def tiff_declaring(path, side):
    """A TIFF header declaring side x side grey pixels, with none of them stored."""
    entries = [(256, 4, side), (257, 4, side), (258, 3, 8), (259, 3, 1), (262, 3, 1), (273, 4, 8),
               (277, 3, 1), (278, 4, side), (279, 4, side * side)]
    ifd = struct.pack("<H", len(entries)) + b"".join(struct.pack("<HHII", tag, kind, 1, value)
                                                      for tag, kind, value in entries) + struct.pack("<I", 0)
    Path(path).write_bytes(b"II*\0" + struct.pack("<I", 8) + ifd)


class HostileInput(InterfaceFolder):
    """Faults and hostile input lose nothing, hang nothing and are never answered with an old record."""

    def generate(self, project=SAMPLES / "shapes", **settings):
        gen_folder = self.work / "gen"
        vd.write_state(project, gen_folder, model="VoderoVod_32", gen_size=64, use_augmen=False, **settings)
        vd.gen()
        return gen_folder / "data_gen"

    def test_regeneration_keeps_the_trained_weights(self):
        data_gen = self.generate()
        (data_gen / "backup" / "train.backup").write_bytes(b"hours of training")
        with contextlib.redirect_stdout(io.StringIO()) as said:
            self.generate()
        moved = Path(re.search(r"moved to (.+)", said.getvalue()).group(1))
        self.assertEqual(moved.parent, data_gen.parent / "backups")
        self.assertEqual((moved / "train.backup").read_bytes(), b"hours of training")
        self.assertEqual(list((data_gen / "backup").iterdir()), [])

    def test_a_backup_that_cannot_be_written_ends_the_run_with_the_error(self):
        data_gen = self.generate()
        # Stand-in that every trainer refuses: no backup folder can be made where a file is.
        shutil.rmtree(data_gen / "backup")
        (data_gen / "backup").write_bytes(b"")
        with self.assertRaises(vd.DriverError) as failure:
            vd.train().wait_for(budget=60)
        self.assertIn("backup", failure.exception.end["reason"])
        self.assertTrue(failure.exception.end["reason"].startswith("error:"))
        vd.stop(failure.exception.run)

        # A file system too small for the first backup.
        (data_gen / "backup").unlink()
        (data_gen / "backup").mkdir()
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8k", "tmpfs", str(data_gen / "backup")],
                          capture_output=True).returncode != 0:
            self.skipTest("no tmpfs can be mounted here")
        try:
            started = time.monotonic()
            with self.assertRaises(vd.DriverError) as failure:
                vd.train().wait_for(budget=120)
            self.assertLess(time.monotonic() - started, 60)
            # Whichever of the backup folder's files came first.
            self.assertRegex(failure.exception.end["reason"], r"^error:.*(train\.backup|report\.json|report\.png)")
            vd.stop(failure.exception.run)
        finally:
            subprocess.run(["umount", "-l", str(data_gen / "backup")])

    def test_old_records_are_never_taken_for_answers(self):
        self.generate()
        log = self.work / vd.TRAIN_LOG
        log.write_text(json.dumps({"train_end": {"code": 1, "reason": "an earlier failure"}}) + "\n")
        run = vd.train()
        try:
            state = run.wait_for(iterations=1, budget=120)
            self.assertGreaterEqual(state["intr"], 1)
        finally:
            vd.stop(run)
        log.write_text(json.dumps({"train_state": {"intr": 99999, "acc": 100}}) + "\n")
        run = vd.train()
        try:
            self.assertLess(run.wait_for(iterations=99999, budget=3)["intr"], 99999)
        finally:
            vd.stop(run)

        server = vd.serve()
        try:
            (self.work / vd.SERVER_LOG).write_text(json.dumps({"state": "test_end", "results": []}) + "\n")
            with self.assertRaises(vd.DriverError) as failure:
                vd.test(self.work / "missing.png")
            self.assertIn("not found", str(failure.exception))
            for call, path in ((vd.update, self.work / "models,v2"), (vd.test, self.work / "a,b.png")):
                with self.assertRaisesRegex(vd.DriverError, "holds a comma"):
                    call(path)
            # Something in the command file's place that is no file is removed by the server, or
            # named by the driver when it cannot be.
            command = self.work / vd.COMMAND_FILE
            command.mkdir()
            deadline = time.monotonic() + 5
            while command.exists() and time.monotonic() < deadline:
                time.sleep(0.05)
            self.assertFalse(command.exists())
            (command / "inside").mkdir(parents=True)
            with self.assertRaisesRegex(vd.DriverError, "is no file but a folder"):
                vd.test(self.work / "missing.png")
            shutil.rmtree(command)
        finally:
            vd.exit(server)

    def test_one_server_per_folder_and_a_dead_one_is_noticed(self):
        server = vd.serve()
        with self.assertRaisesRegex(vd.DriverError, "another server .* already answers"):
            vd.serve()
        server.process.kill()
        server.process.wait()
        started = time.monotonic()
        with self.assertRaisesRegex(vd.DriverError, "the server has ended"):
            vd.test(self.work / "missing.png", timeout=60)
        self.assertLess(time.monotonic() - started, 5)

    def test_write_state_refuses_values_the_trainer_would_not_take(self):
        with self.assertRaisesRegex(vd.DriverError, "gen_size"):
            vd.write_state(SAMPLES / "shapes", self.work / "gen", gen_size="608")
        with self.assertRaisesRegex(vd.DriverError, "unknown model 'darknet20'"):
            vd.write_state(SAMPLES / "shapes", self.work / "gen", model="darknet20")
        self.assertFalse((self.work / vd.STATE_FILE).exists())
        catalogue = sorted(p.stem for p in (SOURCE / "resources" / "ai_models").rglob("*.cfg"))
        self.assertEqual(sorted(vd.MODELS), catalogue)

    def test_pictures_that_declare_gigabytes_are_refused_without_the_memory(self):
        project = self.work / "project"
        shutil.copytree(SAMPLES / "shapes", project)
        (project / "AAA").mkdir()  # the first class: its picture is the one the start-up shows
        png_declaring(project / "AAA" / "bomb.png", 16384)
        vd.write_state(project, self.work / "gen", model="VoderoVod_32", gen_size=64, use_augmen=False)
        measure = ("import resource, subprocess, sys; done = subprocess.run(sys.argv[1:], capture_output=True); "
                   "sys.stderr.buffer.write(done.stderr); "
                   "print(done.returncode, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
        done = subprocess.run([sys.executable, "-c", measure, vd._find_program("run-forgewright", "VELA_FORGEWRIGHT"),
                               "gen"], env=vd._program_env(), capture_output=True, text=True, timeout=300)
        code, peak_kb = map(int, done.stdout.split())
        self.assertEqual(code, 0, done.stderr[-2000:])
        self.assertIn("its header declares 16384 x 16384 pixels", done.stderr)
        # Decoded, the picture alone would take 805 MB.
        self.assertLess(peak_kb, 500 * 1024)
        self.assertEqual(vd.read_record(self.work / vd.TRAIN_LOG)["gen_empty_classes"], ["AAA"])

        tiff_declaring(self.work / "bomb.tif", 30000)
        server = vd.serve()
        try:
            with self.assertRaises(vd.DriverError) as failure:
                vd.test(self.work / "bomb.tif")
            self.assertIn("its header declares 30000 x 30000 pixels", str(failure.exception))
        finally:
            vd.exit(server)

    def test_a_generation_that_fills_standard_error_still_ends(self):
        project = self.work / "project"
        picture = (SAMPLES / "shapes" / "circle" / "circle_0.jpg").read_bytes()
        # Stray bytes before the end marker: each decode warns "Corrupt JPEG data".
        warned = picture[:-2] + b"\0" * 16 + picture[-2:]
        for name in ("a", "b"):
            (project / name).mkdir(parents=True)
            for i in range(1200):
                (project / name / f"{i}.jpg").write_bytes(warned)
        vd.write_state(project, self.work / "gen", model="VoderoVod_32", gen_size=64, use_augmen=False)
        started = time.monotonic()
        self.assertEqual(vd.gen(timeout=300), 100)
        self.assertLess(time.monotonic() - started, 240)


class TheInstalledLayout(InterfaceFolder):
    def test_installed_programs_run_from_their_prefix(self):
        build = os.environ.get("VELA_BUILD_DIR") or str(SOURCE / "build")
        prefix = self.work / "prefix with blank"
        subprocess.run(["cmake", "--install", build, "--prefix", str(prefix)], check=True, capture_output=True)
        for program in ("bin/forgewright", "bin/seerkeep", "bin/run-forgewright",
                        "share/vela/ros/vela_lib_yolo/darknet_cpu_", "share/vela/ros/vela_lib_yolo/darknet_"):
            self.assertTrue(os.access(prefix / program, os.X_OK), program)
            libraries = subprocess.run(["ldd", str(prefix / program)], capture_output=True, text=True).stdout
            self.assertNotIn("not found", libraries, program)
            self.assertNotIn(build, libraries, program)

        # The installed launcher and driver work without the build tree.
        env = dict(os.environ, VELA_FORGEWRIGHT=str(prefix / "bin" / "run-forgewright"))
        env.pop("VELA_BUILD_DIR", None)
        vd.write_state(prefix / "share/vela/samples/shapes", self.work / "gen", gen_size=64, use_augmen=False)
        done = subprocess.run([str(prefix / "bin" / "run-forgewright"), "gen"], env=env, capture_output=True)
        self.assertEqual(done.returncode, 0)
        self.assertTrue((self.work / "gen" / "data_gen" / "train.cfg").exists())

        # rosrun finds the installed trainer package the way the launcher points it there.
        ros_env = dict(env, ROS_PACKAGE_PATH=str(prefix / "share" / "vela" / "ros"))
        done = subprocess.run(["rosrun", "vela_lib_yolo", "darknet_cpu_", "classifier"], env=ros_env,
                              capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 2, done.stdout + done.stderr)
        self.assertIn("error:", done.stderr)


class TheExampleNotebook(unittest.TestCase):
    def test_cells_have_ids_and_end_in_readable_output(self):
        import ast
        notebook = json.loads((SOURCE / "tools" / "example.ipynb").read_text(encoding="utf-8"))
        self.assertGreaterEqual((notebook["nbformat"], notebook["nbformat_minor"]), (4, 5))
        ids = [cell.get("id") for cell in notebook["cells"]]
        self.assertTrue(all(re.fullmatch(r"[A-Za-z0-9_-]{1,64}", str(i)) for i in ids), ids)
        self.assertEqual(len(set(ids)), len(ids))
        for cell in notebook["cells"]:
            if cell["cell_type"] != "code":
                continue
            last = ast.parse("".join(cell["source"])).body[-1]
            # A bare expression other than print() or display() shows a raw value (a dict, 0).
            if isinstance(last, ast.Expr):
                self.assertIsInstance(last.value, ast.Call, cell["id"])
                self.assertIn(getattr(last.value.func, "id", ""), ("print", "display"), cell["id"])


class TheDemo(unittest.TestCase):
    def test_demo_runs_the_road_and_reports_each_step(self):
        with tempfile.TemporaryDirectory(prefix="vela demo ") as work:
            env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
            env.pop("VELA_TMP_DIR", None)
            done = subprocess.run([sys.executable, str(SOURCE / "tools" / "demo.py"), "--budget", "90",
                                   "--work", work], env=env, capture_output=True, text=True, timeout=600)
            self.assertEqual(done.returncode, 0, done.stdout[-3000:] + done.stderr[-3000:])
            summary = done.stdout.split("== summary", 1)[1]
            for step in ("generate", "train", "export", "update model", "classify held-out images"):
                self.assertRegex(summary, rf"\n   {step} +\d+\.\d s")
            # The run ends by itself at its epoch budget, and the summary gives the truth about it.
            self.assertIn("ended by itself (finished)", summary)
            self.assertRegex(summary, r"validation accuracy: best \d+\.\d\d % on \d+ held-out images")
            self.assertRegex(summary, r"held-out accuracy: \d/9")
            self.assertIn("last test: class ", summary)
            picture = re.search(r"report picture: (.+\.png)\n", summary)
            self.assertTrue(picture and Path(picture.group(1)).is_file(), summary)
            self.assertEqual(max(png_size(Path(work) / "derarodizir_result.png")), 608)


if __name__ == "__main__":
    unittest.main(verbosity=2)
