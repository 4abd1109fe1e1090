"""Drive forgewright (trainer) and seerkeep (server) through their file protocol.

A notebook imports this module and calls, in order:

    write_state(project, gen_folder, model="VoderoVod_32")
    (or write_state(project, gen_folder, model="resnet18", pretrained=True): start from darknet's
     ImageNet weights, downloaded once by pretrained("resnet18"))
    gen()
    run = train();  run.wait_for(accuracy=90, budget=300);  stop(run)
    (with write_state(..., valid_percent=20): run.wait_for(val_accuracy=90); run.report())
    export(gen_folder, model_folder)
    server = serve();  update(model_folder);  result = test(image);  exit(server)
    (or records = test_many(images) for a list of images)

Everything lives in one interface folder: $VELA_TMP_DIR, else /tmp (the programs use the same
rule). Only the Python standard library is used.
"""

import fcntl
import http.client
import json
import os
import shutil
import signal
import struct
import subprocess
import tempfile
import time
import urllib.error
import urllib.request
import warnings
from dataclasses import dataclass, field
from pathlib import Path

__all__ = [
    "DriverError", "TrainingStopped", "interface_dir", "write_state", "pretrained", "gen", "train", "stop", "export",
    "serve",
    "update", "test", "test_many", "exit", "read_record", "TrainingRun", "Server",
]

STATE_FILE = "ruzerizozize.json"
TRAIN_LOG = "ruzerizozize.log"
STOP_FILE = "ruzerizozize.stop"
COMMAND_FILE = "derarodizir_test.cmd"
HEARTBEAT_FILE = "derarodizir.run"
SERVER_LOG = "derarodizir.log"
RESULT_FILE = "derarodizir_result.png"
SERVER_LOCK = "derarodizir.lock"

# What a new trainer saves (on a machine without a GPU); write_state starts from it when there
# is no state file yet, because the trainer reads a missing key as false or 0.
DEFAULT_STATE = {
    "augmen": {}, "batch": 16, "continue_custom": False, "continue_defalut": True,
    "continue_train": True, "custom_wg": "", "gen_jpg": True, "gen_png": False, "gen_size": 608,
    "keep_aspect_ratio": True, "model": "darknet19", "subdivisions": 8, "unknown_classes": 0,
    "use_augmen": True, "use_class_balancing": True, "use_random_class": False, "valid_percent": 0,
    "epochs": 0, "patience": 0,
}


# The model catalogue, as the trainer's model box lists it.
MODELS = (
    "VoderoVod_128", "VoderoVod_32", "VoderoVod_64", "alexnet", "darknet", "darknet19", "darknet19_448",
    "darknet53", "darknet53_448", "densenet201", "efficientnet-lite3", "efficientnet_b0", "extraction",
    "mobilenet-v2", "resnet101", "resnet152", "resnet18", "resnet34", "resnet50", "resnext101-32x4d",
    "resnext152-32x4d", "resnext50", "vgg-16",
)

# The type each state key takes; the trainer reads any other as a warning and keeps its default.
_STATE_TYPES = {
    "augmen": dict, "batch": int, "continue_custom": bool, "continue_defalut": bool, "continue_train": bool,
    "custom_wg": str, "gen_jpg": bool, "gen_png": bool, "gen_size": int, "keep_aspect_ratio": bool,
    "model": str, "subdivisions": int, "unknown_classes": int, "use_augmen": bool,
    "use_class_balancing": bool, "use_random_class": bool, "valid_percent": int, "epochs": int,
    "patience": int,
}


class DriverError(RuntimeError):
    """A step failed; the message says which and carries the programs' own record when there is one."""


class TrainingStopped(DriverError):
    """forgewright ended a training run that this driver did not ask to stop."""


# Fewer held-out images than this give an accuracy too coarse to trust (one image is over 2 %).
SMALL_VALIDATION_SET = 50

UNASKED_STOP = (
    "forgewright ended the training run (exit code {code}) although this driver did not ask it to stop. "
    "Most likely another forgewright started meanwhile, for example the trainer window opened by hand: "
    "every start creates the stop file {stop_file}, and a training run that finds it stops, so that the "
    "newest instance wins. Otherwise someone created that file or pressed a stop button. Start the "
    "training again with train() once no other forgewright runs."
)


def interface_dir():
    return Path(os.environ.get("VELA_TMP_DIR") or "/tmp")


def _path(name):
    return interface_dir() / name


def _write_whole(path, data):
    """Write to a temporary file in the same folder, then rename: readers never see half a file."""
    path = Path(path)
    fd, tmp = tempfile.mkstemp(prefix="." + path.name + ".", dir=str(path.parent))
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode("utf-8"))
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise


def read_record(path):
    """The one JSON record a log holds, or None when there is none (yet)."""
    try:
        text = Path(path).read_text(encoding="utf-8").strip()
    except (FileNotFoundError, UnicodeDecodeError):
        return None
    if not text:
        return None
    try:
        return json.loads(text.splitlines()[-1])
    except json.JSONDecodeError:
        return None


def _find_program(name, env_var):
    """The launcher or program: $<env_var>, else next to this file's build tree, else PATH."""
    explicit = os.environ.get(env_var)
    if explicit:
        return explicit
    here = Path(__file__).resolve().parent
    build = Path(os.environ.get("VELA_BUILD_DIR") or here.parent / "build")
    installed = here.parents[2] / "bin"  # PREFIX/bin when this file is PREFIX/share/vela/tools
    for candidate in (build / name, build / "server" / name, installed / name):
        if candidate.exists():
            return str(candidate)
    found = shutil.which(name)
    if found:
        return found
    raise DriverError(f"cannot find {name}: build the project or set {env_var}")


def _program_env():
    env = dict(os.environ)
    env["VELA_TMP_DIR"] = str(interface_dir())
    if not env.get("DISPLAY") and not env.get("QT_QPA_PLATFORM"):
        env["QT_QPA_PLATFORM"] = "offscreen"
    return env


# ---------------------------------------------------------------------------------------------
# Trainer

def write_state(project, gen_folder, model="VoderoVod_32", pretrained=False, **settings):
    """Write the trainer's state file: the project folder, the generation folder (created), the
    model and any other state key (batch=16, gen_size=64, use_augmen=False, epochs=20, ...). Keys
    already in the file that are not given keep their values. pretrained=True starts the training
    from darknet's ImageNet weights for the model (see pretrained()): it fills in the
    custom-weight keys; nothing is written when they cannot be had."""
    _check_state_values(dict(settings, model=model))
    if not isinstance(pretrained, bool):
        raise DriverError(f"pretrained takes True or False, not {pretrained!r}")
    if pretrained:
        settings.update(continue_train=True, continue_defalut=False, continue_custom=True,
                        custom_wg=str(_pretrained_weights(model)))
    project = Path(project).resolve()
    if not project.is_dir():
        raise DriverError(f"project folder not found: {project}")
    gen_folder = Path(gen_folder).resolve()
    gen_folder.mkdir(parents=True, exist_ok=True)
    try:
        state = json.loads(_path(STATE_FILE).read_text(encoding="utf-8"))
        if not isinstance(state, dict):
            state = dict(DEFAULT_STATE)
    except (FileNotFoundError, json.JSONDecodeError, UnicodeDecodeError):
        state = dict(DEFAULT_STATE)
    state.update(settings)
    state["prj_path"] = str(project)
    state["gen_path"] = str(gen_folder)
    state["model"] = model
    interface_dir().mkdir(parents=True, exist_ok=True)
    _write_whole(_path(STATE_FILE), json.dumps(state, indent=4, sort_keys=True) + "\n")
    return state


def _check_state_values(settings):
    """Refuse, before anything is written, a value the trainer would not take as given."""
    for key, value in settings.items():
        wanted = _STATE_TYPES.get(key)
        if wanted is None:
            continue
        # bool is an int in Python; neither stands in for the other here.
        if not isinstance(value, wanted) or (wanted is int and isinstance(value, bool)):
            raise DriverError(f"state key {key!r} takes a {wanted.__name__}, not {value!r}")
    if settings.get("model") not in MODELS:
        raise DriverError(f"unknown model {settings.get('model')!r}; the trainer knows: {', '.join(MODELS)}")


def _first_record(stream, key):
    """The first record holding key among the JSON lines of a program's standard output."""
    for line in stream:
        if line.startswith(b"{") and key.encode() in line:
            try:
                record = json.loads(line)
            except ValueError:
                continue
            if isinstance(record, dict) and key in record:
                return record
    return {}


def _fresh_log(name):
    """Remove a log before the request it answers, so that no record of an earlier run or
    command is ever taken for the answer."""
    try:
        _path(name).unlink()
    except FileNotFoundError:
        pass


def gen(timeout=1800, on_progress=None):
    """Run `forgewright gen`; returns the last progress value. Raises when the run fails (with
    forgewright's "gen_error" when it refused settings whose output would not fit on the disk) or
    the training folder is incomplete; warns when source pictures were skipped."""
    program = _find_program("run-forgewright", "VELA_FORGEWRIGHT")
    state = json.loads(_path(STATE_FILE).read_text(encoding="utf-8"))
    _fresh_log(TRAIN_LOG)
    # Standard error goes to a file: a pipe that nobody reads while waiting fills up (thousands
    # of decoder warnings) and leaves forgewright blocked for good.
    with tempfile.TemporaryFile() as err_file, tempfile.TemporaryFile() as out_file:
        proc = subprocess.Popen([program, "gen"], env=_program_env(), stdout=out_file, stderr=err_file)
        last = -1
        deadline = time.monotonic() + timeout
        while proc.poll() is None:
            record = read_record(_path(TRAIN_LOG))
            if record and "gen_progress" in record and record["gen_progress"] != last:
                last = record["gen_progress"]
                if on_progress:
                    on_progress(last)
            if time.monotonic() > deadline:
                proc.kill()
                proc.wait()
                raise DriverError(f"generation did not end within {timeout} s")
            time.sleep(0.2)
        err_file.seek(0)
        err = err_file.read().decode("utf-8", "replace")
        # The log keeps only the latest record; standard output has them all.
        out_file.seek(0)
        first = _first_record(out_file, "gen_total")
    record = read_record(_path(TRAIN_LOG)) or {}
    if proc.returncode != 0:
        if "gen_error" in record:
            raise DriverError(f"generation refused: {record['gen_error']}")
        raise DriverError(f"forgewright gen exited with {proc.returncode}: {err.strip()[-2000:]}")
    if first.get("gen_backup_moved_to"):
        print(f"gen: the weights and report of the earlier training were moved to {first['gen_backup_moved_to']}")
    # The first record names what the state and the scan worked around; a later one what only
    # the finished folder could tell (an epoch budget too long to be meant).
    later = record.get("gen_warnings", []) if record != first else []
    for warning in first.get("gen_warnings", []) + later:
        warnings.warn(f"generation: {warning}", stacklevel=2)
    if record.get("gen_empty_classes"):
        warnings.warn(f"generation: no picture of the classes {', '.join(record['gen_empty_classes'])} "
                      "could be read; they have nothing to train on", stacklevel=2)
    if record.get("gen_skipped"):
        warnings.warn(f"generation skipped {record['gen_skipped']} source pictures that could not be read whole",
                      stacklevel=2)
    data_gen = Path(state["gen_path"]) / "data_gen"
    for name in ("data.data", "labels.txt", "names.list", "train.list", "train.cfg", "test.cfg", "version"):
        if not (data_gen / name).exists():
            raise DriverError(f"generation left no {data_gen / name}; forgewright said: {err.strip()[-2000:]}")
    _warn_on_small_validation_set(state, data_gen)
    return record.get("gen_progress", 0)


def _warn_on_small_validation_set(state, data_gen):
    if int(state.get("valid_percent", 0) or 0) <= 0:
        return
    text = (data_gen / "test.list").read_text(encoding="utf-8") if (data_gen / "test.list").exists() else ""
    held = len([line for line in text.split("\n") if line])
    if held < SMALL_VALIDATION_SET:
        warnings.warn(f"the validation set holds only {held} images (fewer than {SMALL_VALIDATION_SET}): its "
                      "accuracy moves in steps of over 2 % and its best value flatters; see the report's "
                      "95 % interval", stacklevel=3)


@dataclass
class TrainingRun:
    """A running `forgewright train`; its progress comes from the trainer's log."""
    process: subprocess.Popen
    started: float = field(default_factory=time.monotonic)
    gen_folder: Path = None
    stop_requested: bool = False  # set by stop()
    unasked_stop: str = None  # why forgewright ended without stop(), once wait_for has seen it

    def state(self):
        """The latest "train_state" object: intr, avg, acc (percent), time_sec, time_str, backend,
        and with validation, once a first evaluation exists, val_acc, val_intr, best_val_acc."""
        record = read_record(_path(TRAIN_LOG))
        if record and isinstance(record.get("train_state"), dict):
            return record["train_state"]
        return None

    def running(self):
        return self.process.poll() is None

    def end(self):
        """The "train_end" object forgewright writes when the trainer ended by itself (code,
        reason, intr, avg, acc, time_sec), or None while it has not."""
        return _train_end(read_record(_path(TRAIN_LOG)))

    def finished(self):
        """True once the trainer has ended by itself with code 0: it reached the end of its
        schedule (an epoch budget) or stopped improving (patience)."""
        end = self.end()
        return end is not None and end.get("code", 0) == 0

    def report(self):
        """The training report (data_gen/backup/report.json) as a dict, None before the first."""
        try:
            return json.loads((self._backup_folder() / "report.json").read_text(encoding="utf-8"))
        except (FileNotFoundError, json.JSONDecodeError, UnicodeDecodeError):
            return None

    def report_picture(self):
        """The path of the report picture (data_gen/backup/report.png), None before the first."""
        path = self._backup_folder() / "report.png"
        return path if path.exists() else None

    def _raise_on_unasked_end(self):
        """Fails a wait on a forgewright that ended without stop(): with the trainer's reason when
        it failed, with TrainingStopped when it ended cleanly (a stop file it was not given by this
        driver), else with its exit code (killed or crashed)."""
        if self.stop_requested or self.running():
            return
        end = self.end()
        if end is not None:
            _raise_on_failed_end(end, self)
            if self.process.returncode == 0:
                return  # finished by itself; forgewright had nothing left to do
        if self.process.returncode == 0:
            self.unasked_stop = UNASKED_STOP.format(code=self.process.returncode, stop_file=_path(STOP_FILE))
            error = TrainingStopped(self.unasked_stop)
        else:
            error = DriverError(f"forgewright ended with {self.process.returncode} while training was waited for")
        error.run = self
        raise error

    def _backup_folder(self):
        gen_folder = self.gen_folder or json.loads(_path(STATE_FILE).read_text(encoding="utf-8"))["gen_path"]
        return Path(gen_folder) / "data_gen" / "backup"

    def wait_for(self, accuracy=None, iterations=None, budget=600, on_progress=None, poll=1.0,
                 val_accuracy=None):
        """Wait until the batch accuracy (percent), the validation accuracy (percent, once the
        trainer has evaluated) or the iteration count is reached, the budget (s) passes or the
        trainer ends (run.finished() then tells it ended by itself). Returns the last state; raises with the trainer's reason when it ended with
        a non-zero code (stop() then still ends forgewright), with TrainingStopped when
        forgewright ended cleanly without stop() (most likely because another forgewright
        started), and with its exit code when it was killed or crashed."""
        deadline = time.monotonic() + budget
        last = None
        while time.monotonic() < deadline:
            if not self.running():
                self._raise_on_unasked_end()
                break
            end = self.end()
            if end is not None:
                _raise_on_failed_end(end, self)
                break
            state = self.state()
            if state and state != last:
                last = state
                if on_progress:
                    on_progress(state)
                if accuracy is not None and state.get("acc", 0) >= accuracy and state.get("intr", 0) > 0:
                    break
                if iterations is not None and state.get("intr", 0) >= iterations:
                    break
                if val_accuracy is not None and state.get("val_acc", -1) >= val_accuracy:
                    break
            time.sleep(poll)
        # After a "train_end" the log holds no state any more: the last one seen stands.
        return self.state() or last


def _train_end(record):
    if record and isinstance(record.get("train_end"), dict):
        return record["train_end"]
    return None


def _raise_on_failed_end(end, run=None):
    """A trainer that ended with a non-zero code fails the step, with the trainer's reason."""
    if end.get("code", 0) != 0:
        error = DriverError(f"the trainer ended with code {end.get('code')}: {end.get('reason', '')}")
        error.run = run
        error.end = end
        raise error


def train():
    """Start `forgewright train` (the launcher provides the ROS environment). Raises with the
    trainer's reason when it refuses to train; forgewright is then already ended."""
    program = _find_program("run-forgewright", "VELA_FORGEWRIGHT")
    stop_file = _path(STOP_FILE)
    _fresh_log(TRAIN_LOG)
    proc = subprocess.Popen([program, "train"], env=_program_env(), stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    # Start-up creates a stop file and the training start removes it: wait for that, so a
    # stop request written afterwards is never mistaken for the leftover one.
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            end = _train_end(read_record(_path(TRAIN_LOG)))
            if proc.returncode == 0 and end is not None and end.get("code", 0) == 0:
                # Nothing was left to train (the budget was spent before): finished at once.
                state = json.loads(_path(STATE_FILE).read_text(encoding="utf-8"))
                return TrainingRun(proc, gen_folder=Path(state["gen_path"]))
            reason = f": {end.get('reason')}" if end else ""
            raise DriverError(f"forgewright train ended at start with {proc.returncode}{reason}")
        record = read_record(_path(TRAIN_LOG)) or {}
        end = _train_end(record) if not stop_file.exists() else None
        if end is not None and end.get("code", 0) != 0:
            # forgewright stays for the stop file after a failed trainer: end it, then say why.
            run = TrainingRun(proc, stop_requested=True)
            _write_whole(stop_file, b"")
            try:
                proc.wait(timeout=60)
            except subprocess.TimeoutExpired:
                proc.terminate()
            _raise_on_failed_end(end, run)
        if not stop_file.exists() and (record.get("train_state") or end is not None):
            state = json.loads(_path(STATE_FILE).read_text(encoding="utf-8"))
            return TrainingRun(proc, gen_folder=Path(state["gen_path"]))
        time.sleep(0.2)
    proc.terminate()
    raise DriverError("training did not start within 60 s")


def stop(run, timeout=60):
    """Ask a training run to stop through the stop file; returns its last state. Warns when
    forgewright had already ended without being asked."""
    last = run.state()
    if not run.running() and not run.stop_requested:
        if run.finished() and run.process.returncode == 0:
            return last  # it ended by itself and forgewright with it: nothing to stop
        if run.process.returncode != 0:
            raise DriverError(f"forgewright train exited with {run.process.returncode}")
        warnings.warn(run.unasked_stop or UNASKED_STOP.format(code=run.process.returncode, stop_file=_path(STOP_FILE)),
                      stacklevel=2)
        return last
    run.stop_requested = True
    _write_whole(_path(STOP_FILE), b"")
    try:
        code = run.process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        run.process.send_signal(signal.SIGTERM)
        raise DriverError(f"training did not stop within {timeout} s")
    if code != 0:
        raise DriverError(f"forgewright train exited with {code}")
    return last


def export(gen_folder, model_folder):
    """Copy the trained weights, names and test configuration into a model folder, as the
    trainer's Export does: train.weights, names.list, test.cfg. With validation on
    (valid_percent > 0 in the state file) the weights are the best evaluated ones, train.best,
    when it exists, else the latest backup; a line says which was taken."""
    data_gen = Path(gen_folder) / "data_gen"
    weights = _weights_to_export(data_gen / "backup")
    print(f"export: train.weights from {weights}")
    sources = {
        "train.weights": weights,
        "names.list": data_gen / "names.list",
        "test.cfg": data_gen / "test.cfg",
    }
    for target, source in sources.items():
        if not source.exists():
            raise DriverError(f"nothing to export: {source} is missing")
    model_folder = Path(model_folder)
    model_folder.mkdir(parents=True, exist_ok=True)
    for target, source in sources.items():
        _write_whole(model_folder / target, source.read_bytes())
    return model_folder


def _weights_to_export(backup):
    try:
        state = json.loads(_path(STATE_FILE).read_text(encoding="utf-8"))
    except (FileNotFoundError, json.JSONDecodeError, UnicodeDecodeError):
        state = {}
    best = backup / "train.best"
    if int((state if isinstance(state, dict) else {}).get("valid_percent", 0) or 0) > 0 and best.exists():
        return best
    return backup / "train.backup"


# ---------------------------------------------------------------------------------------------
# Pretrained weights

# The one table of darknet's published ImageNet weights: file name and parameter count by template.
PRETRAINED_TABLE = Path(__file__).resolve().parent / "pretrained_weights.json"


def pretrained(model, cache_dir=None, base_url=None, timeout=60):
    """The local path of darknet's published ImageNet weights for a template, downloaded once into
    the cache folder (cache_dir, else $VELA_PRETRAINED_CACHE, else ~/.cache/vela/pretrained) from
    base_url (else $VELA_PRETRAINED_URL, else darknet's own site). The file is checked before it
    is returned: its header must be a darknet weights header and its size exactly what the
    template holds at 1000 classes; anything else raises and leaves nothing in the cache."""
    return _pretrained_weights(model, cache_dir, base_url, timeout)


def _pretrained_weights(model, cache_dir=None, base_url=None, timeout=60):
    table = json.loads(PRETRAINED_TABLE.read_text(encoding="utf-8"))
    entry = table["models"].get(model)
    if entry is None:
        raise DriverError(f"darknet publishes no ImageNet weights for {model!r}; the templates that have them: "
                          f"{', '.join(table['models'])}")
    cache = Path(cache_dir or os.environ.get("VELA_PRETRAINED_CACHE") or _default_cache())
    path = cache / entry["file"]
    if path.is_file() and _weights_problem(path, model, table) is None:
        return path
    url = (base_url or os.environ.get("VELA_PRETRAINED_URL") or table["base_url"]).rstrip("/") + "/" + entry["file"]
    cache.mkdir(parents=True, exist_ok=True)
    fd, partial = tempfile.mkstemp(prefix="." + entry["file"] + ".", dir=str(cache))
    try:
        with os.fdopen(fd, "wb") as out:
            _download(url, out, entry["file"], timeout)
        problem = _weights_problem(Path(partial), model, table)
        if problem is not None:
            raise DriverError(f"{url} is not darknet's ImageNet weights for {model}: {problem}; nothing is cached")
        os.replace(partial, path)
    finally:
        if os.path.exists(partial):
            os.unlink(partial)
    return path


def _default_cache():
    return Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache") / "vela" / "pretrained"


def _download(url, out, name, timeout):
    """The whole file at url into out, with a progress line; raises when it fails or is cut short."""
    done, shown = 0, 0.0
    try:
        with urllib.request.urlopen(url, timeout=timeout) as response:
            total = int(response.headers.get("Content-Length") or 0)
            while True:
                chunk = response.read(1 << 20)
                if not chunk:
                    break
                out.write(chunk)
                done += len(chunk)
                if time.monotonic() - shown >= 0.5:
                    shown = time.monotonic()
                    size = f" of {total / 1e6:.1f}" if total else ""
                    print(f"\rpretrained: downloading {name}: {done / 1e6:.1f}{size} MB", end="", flush=True)
            print(f"\rpretrained: downloaded {name}: {done / 1e6:.1f} MB", flush=True)
    except (urllib.error.URLError, http.client.HTTPException, OSError) as error:
        if shown:
            print(flush=True)
        raise DriverError(f"cannot download {url}: {error}; nothing is cached") from error
    if total and done != total:
        raise DriverError(f"the download of {url} was cut short at {done} of {total} bytes; nothing is cached")


def _weights_problem(path, model, table):
    """Why the file is not the template's weights at 1000 classes, or None when it is."""
    size = path.stat().st_size
    with open(path, "rb") as f:
        head = f.read(12)
    if len(head) < 12:
        return f"it holds {size} bytes, less than a weights header"
    major, minor, revision = struct.unpack("<iii", head)
    if major != 0 or not 0 <= minor < 1000 or not 0 <= revision < 1000:
        return f"it does not start with a darknet weights header (version {major}.{minor}.{revision})"
    # darknet's rule: from version 0.2 on, the count of images seen is 64 bits wide.
    header = 20 if major * 10 + minor >= 2 else 16
    needed = table["models"][model]["floats"]
    held, rest = divmod(size - header, 4)
    if held == needed and rest == 0:
        return None
    fits = [name for name, entry in table["models"].items() if entry["floats"] == held and rest == 0]
    if fits:
        return f"it holds the {held} parameters of {' or '.join(fits)}, where {model} at 1000 classes has {needed}"
    if held < needed:
        return f"it is cut short: {size} bytes, where {model} at 1000 classes needs {header + 4 * needed}"
    return f"it holds {size} bytes, where {model} at 1000 classes needs {header + 4 * needed}"


# ---------------------------------------------------------------------------------------------
# Server

@dataclass
class Server:
    process: subprocess.Popen


# The server that serve() started, so that a command to it notices at once when it has died.
_server = None


def _heartbeat_stamp():
    try:
        return _path(HEARTBEAT_FILE).stat().st_mtime_ns
    except FileNotFoundError:
        return None


def _send(command, timeout, process=None):
    """Write one command, wait for the server to consume it (command file gone, heartbeat
    rewritten) and return the server log's record."""
    command_file = _command_file()
    process = process or (_server.process if _server else None)
    _check_alive(process)
    before = _heartbeat_stamp()
    _fresh_log(SERVER_LOG)
    _write_whole(command_file, command)
    deadline = time.monotonic() + timeout
    # The server answers within milliseconds; a long command is waited for ever more calmly.
    pause = 0.001
    while time.monotonic() < deadline:
        if not command_file.exists() and _heartbeat_stamp() != before:
            return read_record(_path(SERVER_LOG))
        _check_alive(process)
        time.sleep(pause)
        pause = min(pause * 1.5, 0.05)
    raise DriverError(f"the server did not answer {command!r} within {timeout} s")


def _command_file():
    """The command file's path, once it is sure that a command can be written there."""
    command_file = _path(COMMAND_FILE)
    if command_file.is_dir() or (command_file.exists() and not command_file.is_file()):
        what = "a folder" if command_file.is_dir() else "a special file"
        raise DriverError(f"{command_file} is no file but {what}; remove it, no command can be sent through it")
    return command_file


def _check_alive(process):
    """A server that has died answers nothing: say so at once rather than at the timeout."""
    if process is not None and process.poll() is not None:
        raise DriverError(f"the server has ended (exit code {process.returncode}); start it again with serve()")


def _argument(kind, path):
    """A path as the one argument of a command: the command line is split at commas and loses
    its line breaks, so a path holding either would reach the server as another one."""
    text = str(path)
    for character, name in ((",", "a comma"), ("\n", "a line break"), ("\r", "a carriage return"),
                            ("\0", "a NUL character")):
        if character in text:
            raise DriverError(f"the {kind} path {text!r} holds {name}, which the server's command file cannot "
                              "carry; rename or copy it to a path without one")
    return text


def serve(timeout=60):
    """Start seerkeep and wait until it answers commands."""
    global _server
    program = _find_program("seerkeep", "VELA_SEERKEEP")
    # The server refuses to share its folder too, but a ping could be answered by the other one
    # before the new one has found out.
    holder = _server_lock_holder()
    if holder is not None:
        raise DriverError(f"another server (process {holder}) already answers the commands in {interface_dir()}")
    with tempfile.TemporaryFile() as err_file:
        proc = subprocess.Popen([program], env=_program_env(), stdout=subprocess.DEVNULL, stderr=err_file)
        deadline = time.monotonic() + timeout
        # A command the server does not know is consumed and acknowledged without any action.
        while time.monotonic() < deadline:
            if proc.poll() is not None:
                err_file.seek(0)
                said = err_file.read().decode("utf-8", "replace").strip().splitlines()
                reason = f": {said[-1]}" if said else ""
                raise DriverError(f"seerkeep ended at start with {proc.returncode}{reason}")
            try:
                _send("ping", timeout=2, process=proc)
                _server = Server(proc)
                return _server
            except DriverError:
                continue
    proc.terminate()
    raise DriverError("seerkeep did not start answering")


def _server_lock_holder():
    """The process id written into the lock of a server that holds it, else None."""
    try:
        with open(_path(SERVER_LOCK), "rb") as lock:
            try:
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                return lock.read().decode("ascii", "replace").strip() or "unknown"
    except FileNotFoundError:
        pass
    return None


def update(model_folder, timeout=120):
    """Load a model folder into the server; raises with the server's record on failure."""
    record = _send("update," + _argument("model folder", model_folder), timeout)
    if not record or record.get("state") == "update_error":
        raise DriverError(f"update failed: {record}")
    if record.get("state") != "update_end" or not record.get("load_model"):
        raise DriverError(f"the model could not be loaded: {record}")
    return record


def test(image, timeout=120):
    """Classify one image; returns the server's "test_end" record with the result picture's
    path added as "result_path" and every class's probability (percent) as "probs", a dict from
    class name to probability in names.list order. "results" holds only what the server's
    "top" and threshold settings keep. Raises with the record on "test_error"."""
    record = _send("test," + _argument("image", image), timeout)
    if not record or record.get("state") != "test_end":
        raise DriverError(f"test failed: {record}")
    record = dict(record)
    record["result_path"] = str(_path(RESULT_FILE))
    record["probs"] = {entry["name"]: entry["prob"] for entry in record.get("class_probs", [])}
    return record


def test_many(images, timeout=120):
    """Classify each image in turn; returns their "test_end" records in the order given.
    The result picture is rewritten by every image, so the records carry no "result_path".
    Raises as test() does, on the first image that fails."""
    records = []
    for image in images:
        record = test(image, timeout)
        del record["result_path"]
        records.append(record)
    return records


def exit(server, timeout=30):  # noqa: A001 - the notebook's word for it
    """Send "exit" and wait for the server to end with code 0."""
    global _server
    if _server is server:
        _server = None
    if server.process.poll() is not None:
        raise DriverError(f"the server had already ended (exit code {server.process.returncode})")
    _write_whole(_command_file(), "exit")
    try:
        code = server.process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        server.process.terminate()
        raise DriverError(f"the server did not exit within {timeout} s")
    if code != 0:
        raise DriverError(f"the server exited with {code}")
    return code
