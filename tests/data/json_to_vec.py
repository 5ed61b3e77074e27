"""Turn the reference vector JSON files into the line format the C++ tests read.

Each record becomes lines of `key token token ...`; records end with `%%`.
Empty hex strings are written as `-` so that every token is non-empty.
Run from the repository root: python tests/data/json_to_vec.py
"""
import json
import pathlib

HERE = pathlib.Path(__file__).parent


def token(value):
    text = str(value)
    return text if text else "-"


def convert(name):
    records = json.loads((HERE / f"{name}.json").read_text())
    lines = []
    for record in records:
        for key, value in record.items():
            values = value if isinstance(value, list) else [value]
            if key == "note":
                continue
            lines.append(" ".join([key] + [token(v) for v in values]))
        lines.append("%%")
    (HERE / f"{name}.vec").write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    for name in ("wavelets", "coders", "containers"):
        convert(name)
