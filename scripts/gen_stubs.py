"""Writes the type stubs of the built PyTUVO module (pybind11-stubgen, then SDK names mapped to
their Python classes, array arguments widened to what the binding converts, and the buffer views
typed by their element type). Usage: gen_stubs.py OUTPUT.pyi"""
import pathlib
import re
import subprocess
import sys
import tempfile

# The element type of each class's buffer view, as numpy sees it (format "d": float64, "B": uint8).
# tests/test_typing.py checks these against the views of real captures.
BUFFER_DTYPES = {
    "ConfidenceMap": "float64",
    "CorrespondMap": "float64",
    "DepthMap": "float64",
    "Image": "uint8",
    "NormalData": "float64",
    "PointMap": "float64",
}

# Names private to the stubs (the module has none of them), written after the imports.
ALIASES = '''\
# Real numbers in a numpy array: the binding converts any of them to the type the SDK takes.
_RealArray = numpy.typing.NDArray[typing.Union[numpy.floating[typing.Any], numpy.integer[typing.Any], numpy.bool_]]
# A numpy.ndarray argument converted to float64 (any shape, read row by row): an array of real
# numbers, or numbers in a (nested) sequence.
_FloatArrayLike = typing.Union[_RealArray, typing.Sequence[float], typing.Sequence[typing.Sequence[float]]]
# A numpy.ndarray argument converted to uint8 pixels: an array of real numbers, or rows of numbers.
_ByteArrayLike = typing.Union[_RealArray, typing.Sequence[int], typing.Sequence[typing.Sequence[int]],
                              typing.Sequence[typing.Sequence[typing.Sequence[int]]]]
# A list[float] argument: any sequence of numbers, a one-dimensional array included.
_FloatSequence = typing.Union[typing.Sequence[float], numpy.ndarray[tuple[int], numpy.dtype[typing.Union[
    numpy.floating[typing.Any], numpy.integer[typing.Any], numpy.bool_]]]]
'''

# numpy infers an array's element type only from objects with __array__; the binding's classes give
# numpy the same array through the buffer protocol instead, so the stubs declare the method.
ARRAY_METHOD = '''\
    def __array__(self, dtype: None = None, /, *, copy: bool | None = None) -> numpy.typing.NDArray[numpy.{dtype}]:
        """
        For type checkers only: numpy.asarray(obj) reaches this view through the buffer protocol
        (the object has no __array__ method at run time).
        """
'''

ARGUMENTS = {
    "typing.Annotated[numpy.ndarray, numpy.float64]": "_FloatArrayLike",
    "typing.Annotated[numpy.ndarray, numpy.uint8]": "_ByteArrayLike",
    "list[float]": "_FloatSequence",
}
RESULTS = {
    "typing.Annotated[numpy.ndarray, numpy.float64]": "numpy.typing.NDArray[numpy.float64]",
}


def typed_signature(match):
    """A def line with its arguments widened and its array results typed by element type."""
    head, arguments, result = match.groups()
    for old, new in ARGUMENTS.items():
        arguments = arguments.replace(old, new)
    for old, new in RESULTS.items():
        result = result.replace(old, new)
    return "%s(%s) -> %s:" % (head, arguments, result)


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
    # Arguments and results of every function and method.
    text = re.sub(r"(?m)^(\s*def \w+)\((.*)\) -> (.*):$", typed_signature, text)
    # The buffer views.
    for name, dtype in BUFFER_DTYPES.items():
        header = "class %s:\n" % name
        if text.count(header) != 1:
            raise SystemExit("gen_stubs: no class %s with a buffer view in the module" % name)
        text = text.replace(header, header + ARRAY_METHOD.format(dtype=dtype))
    head = "import numpy\nimport typing\n"
    if text.count(head) != 1:
        raise SystemExit("gen_stubs: the imports of pybind11-stubgen changed")
    text = text.replace(head, "import numpy\nimport numpy.typing\nimport typing\n" + ALIASES)
    # Every array type has been rewritten: a new kind of array argument needs a rule above.
    left = re.findall(r".*typing\.Annotated\[numpy\.ndarray.*", text)
    if left:
        raise SystemExit("gen_stubs: array types without a rule:\n" + "\n".join(left))
    return text


if __name__ == "__main__":
    pathlib.Path(sys.argv[1]).write_text(generate())
