"""Writes the type stubs of the built PyTUVO module (pybind11-stubgen, then SDK names mapped to
their Python classes). Usage: gen_stubs.py OUTPUT.pyi"""
import pathlib
import re
import subprocess
import sys
import tempfile


def generate():
    with tempfile.TemporaryDirectory() as tmp:
        subprocess.run([sys.executable, "-m", "pybind11_stubgen", "PyTUVO", "-o", tmp, "--print-invalid-expressions-as-is",
                        "--numpy-array-wrap-with-annotated",
                        "--enum-class-locations", "CameraID:PyTUVO", "--enum-class-locations", "PointMapUnitEnum:PyTUVO"],
                       check=True, capture_output=True)
        text = (pathlib.Path(tmp) / "PyTUVO.pyi").read_text()
    # Types named by their SDK spelling (registered later than the signature) are the module's own.
    text = re.sub(r"TUVO::(\w+)", r"\1", text)
    # Default values that are objects: their repr carries an address.
    text = re.sub(r"<PyTUVO\.\w+ object at 0x[0-9a-f]+>", "...", text)
    # CPython 3.12 and later give every type with the buffer protocol __buffer__ and __release_buffer__
    # slot wrappers: the interpreter's, not the module's, so the stubs read alike on every version.
    text = re.sub(r'(?m)^    def __(release_)?buffer__\(self, \w+\):\n        """\n.*\n        """\n', "", text)
    # A member named None cannot be written in Python source; it is reached with getattr.
    text = re.sub(r"(?m)^(\s*)None: (.*)$", r"\1# None: \2  (reached as getattr(..., 'None'))", text)
    return text


if __name__ == "__main__":
    pathlib.Path(sys.argv[1]).write_text(generate())
