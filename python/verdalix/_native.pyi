from typing_extensions import Buffer
from typing import Any

def read_header(data: Buffer, /) -> dict[str, Any]: ...
