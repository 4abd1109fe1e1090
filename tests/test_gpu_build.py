"""How the build, the setup script and the GPU check find a CUDA PyTorch, and what they do
without one. This machine has no GPU and no CUDA PyTorch: a stand-in PyTorch package (with the
answers a CUDA wheel gives, and a LibTorch CMake file that reports what it was handed) and
stand-in nvcc and nvidia-smi take their place where the choice itself is under test.

  test_gpu_build.py              the probe, the CMake choice and the setup script
  test_gpu_build.py GpuCheck     scripts/gpu-check on this machine (builds the engine alone)
"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

SOURCE = Path(__file__).resolve().parent.parent
PROBE = SOURCE / "scripts" / "cuda-torch-probe"


def executable(path, text):
    path.write_text(text)
    path.chmod(0o755)
    return path


class StandIns:
    """A folder with a PyTorch package of the given version and CUDA, and tools."""

    def __init__(self, root, version="2.11.0+cu128", cuda="12.8"):
        self.root = Path(root)
        package = self.root / "python" / "torch"
        (package / "utils").mkdir(parents=True)
        self.prefix = self.root / "share" / "cmake"
        (package / "__init__.py").write_text(
            f"__version__ = {version!r}\n"
            f"class version:\n    cuda = {cuda!r}\n"
            "class cuda:\n    @staticmethod\n    def is_available():\n        return False\n"
            "from . import utils\n")
        (package / "utils" / "__init__.py").write_text(f"cmake_prefix_path = {str(self.prefix)!r}\n")
        (self.prefix / "Torch").mkdir(parents=True)
        (self.prefix / "Torch" / "TorchConfig.cmake").write_text(
            'message(STATUS "handed: ${TORCH_CUDA_ARCH_LIST} ${CMAKE_CUDA_ARCHITECTURES} ${CMAKE_CUDA_COMPILER}")\n'
            "set(Torch_FOUND TRUE)\nset(TORCH_LIBRARIES \"\")\nset(TORCH_INCLUDE_DIRS \"\")\n")
        tools = self.root / "tools"
        tools.mkdir()
        self.nvcc = executable(tools / "nvcc", "#!/bin/sh\necho 'Cuda compilation tools, release 12.8'\n")
        executable(tools / "nvidia-smi", "#!/bin/sh\nprintf '8.6\\n8.6\\n'\n")

    def environment(self, nvcc=True):
        env = {k: v for k, v in os.environ.items() if k not in ("CUDACXX", "CUDA_HOME", "CUDA_PATH")}
        env["PYTHONPATH"] = str(self.root / "python")
        # The stand-ins first; another nvcc stays out of the way unless asked for.
        env["PATH"] = str(self.root / "tools") + os.pathsep + env["PATH"]
        if nvcc:
            env["CUDACXX"] = str(self.nvcc)
        if not nvcc:
            self.nvcc.unlink()
        return env


def without_pytorch():
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    return env


def run(command, env, cwd=None, timeout=300):
    return subprocess.run([str(c) for c in command], env=env, cwd=cwd, capture_output=True, text=True,
                          timeout=timeout)


class ProbeAndChoice(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)

    def probe(self, env):
        return run([sys.executable, PROBE], env)

    def test_refusals_name_their_reason(self):
        hasNvcc = bool(shutil.which("nvcc")) or Path("/usr/local/cuda/bin/nvcc").exists()
        cases = [
            (None, "python3 has no PyTorch"),
            (("2.11.0+cpu", None), "PyTorch 2.11.0+cpu is built without CUDA"),
            (("2.6.0+cu124", "12.4"), "PyTorch 2.6.0+cu124 is older than 2.7"),
            (("2.7.1+cu126", "12.6"), "PyTorch 2.7.1+cu126 has CUDA 12.6, but no CUDA compiler (nvcc) is installed"),
        ]
        for number, (torch, said) in enumerate(cases):
            with self.subTest(said=said):
                if hasNvcc and "nvcc" in said:
                    continue  # this machine has one where the probe looks
                if torch is None:
                    env = without_pytorch()
                else:
                    env = StandIns(Path(self.folder.name) / str(number), *torch).environment(nvcc=False)
                answer = self.probe(env)
                self.assertEqual(answer.returncode, 1)
                self.assertEqual(answer.stdout, said + "\n")

    def test_a_cuda_pytorch_with_nvcc_is_taken_with_the_local_cards(self):
        standIns = StandIns(self.folder.name)
        env = standIns.environment()
        answer = self.probe(env)
        self.assertEqual(answer.returncode, 0, answer.stdout)
        self.assertEqual(answer.stdout.splitlines(), [
            "torch=2.11.0+cu128", "cuda=12.8", f"cmake_prefix_path={standIns.prefix}",
            f"nvcc={standIns.nvcc.resolve()}", "architectures=8.6"])

        # CMake takes that LibTorch, hands it the compiler and the architectures, and says so.
        configured = run(["cmake", "-S", SOURCE / "tests/support/libtorch_choice", "-B", Path(self.folder.name) / "b"],
                         env)
        self.assertEqual(configured.returncode, 0, configured.stdout + configured.stderr)
        self.assertIn(f"-- handed: 8.6 86 {standIns.nvcc.resolve()}\n", configured.stdout)
        self.assertIn(f"-- Torch training engine: LibTorch 2.11.0+cu128 with CUDA 12.8 from {standIns.prefix}/Torch; "
                      f"nvcc {standIns.nvcc.resolve()}; CUDA architectures 8.6\n", configured.stdout)

        # Told to take Debian's, the same build folder forgets the CUDA one.
        configured = run(["cmake", "-S", SOURCE / "tests/support/libtorch_choice", "-B", Path(self.folder.name) / "b",
                          "-DVELA_LIBTORCH=system"], env)
        self.assertEqual(configured.returncode, 0, configured.stdout + configured.stderr)
        self.assertNotIn(str(standIns.prefix), configured.stdout)
        self.assertIn("(no CUDA PyTorch: VELA_LIBTORCH=system)", configured.stdout)

        # The setup script leaves Debian's LibTorch out.
        listed = run([SOURCE / "scripts/setup", "--list"], env)
        self.assertEqual(listed.returncode, 0)
        lines = listed.stdout.splitlines()
        self.assertEqual(lines[0], "setup: the build takes python3's PyTorch 2.11.0+cu128 with CUDA 12.8; "
                                   "Debian's libtorch-dev is not needed")
        self.assertNotIn("libtorch-dev", lines)

    def test_without_one_debians_libtorch_is_kept(self):
        env = without_pytorch()
        configured = run(["cmake", "-S", SOURCE / "tests/support/libtorch_choice", "-B", Path(self.folder.name) / "b"],
                         env)
        self.assertEqual(configured.returncode, 0, configured.stderr)
        chosen = [line for line in configured.stdout.splitlines() if "Torch training engine" in line]
        self.assertEqual(len(chosen), 1)
        self.assertRegex(chosen[0], r"^-- Torch training engine: LibTorch [0-9.]+ from \S+, CPU only "
                                    r"\(no CUDA PyTorch: python3 has no PyTorch\)$")
        listed = run([SOURCE / "scripts/setup", "--list"], env)
        self.assertIn("libtorch-dev", listed.stdout.splitlines())


class GpuCheck(unittest.TestCase):
    def test_says_in_one_line_that_it_needs_a_gpu(self):
        if shutil.which("nvidia-smi"):
            self.skipTest("this machine has an NVIDIA GPU: run scripts/gpu-check itself")
        build = Path(os.environ.get("VELA_BUILD_DIR", SOURCE / "build")) / "gpu-check"
        env = without_pytorch()
        env["VELA_GPU_CHECK_BUILD"] = str(build)
        checked = run([SOURCE / "scripts/gpu-check"], env, timeout=1500)
        lines = checked.stdout.splitlines()
        self.assertEqual(checked.returncode, 77, checked.stdout + checked.stderr)
        self.assertRegex(lines[-1], r"^torch_gpu_check: no usable CUDA device \(.+\): "
                                    r"the parity and speed checks need an NVIDIA GPU$")
        self.assertEqual(len([line for line in lines if "no usable CUDA device" in line]), 1)
        # Built without Qt, OpenCV, ROS or darknet.
        cache = (build / "CMakeCache.txt").read_text()
        self.assertIn("VELA_ENGINE_ONLY:BOOL=ON", cache)
        for absent in ("Qt5_DIR:", "OpenCV_DIR:", "ROSCPP_"):
            self.assertNotIn(absent, cache)


if __name__ == "__main__":
    unittest.main()
