"""The names of format/launcher_names.h for the Python tests, read from the
header itself so that they are defined once."""
import os
import re

_header = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "format", "launcher_names.h")
with open(_header, encoding="utf-8") as _file:
    _defined = dict(re.findall(r'^#define (TAVRIK_\w+) "([^"]*)"$', _file.read(), re.MULTILINE))

PARENT_VARIABLE = _defined["TAVRIK_PARENT_VARIABLE"]
DIRECTORY_VARIABLE = _defined["TAVRIK_DIRECTORY_VARIABLE"]
CACHE_VARIABLE = _defined["TAVRIK_CACHE_VARIABLE"]
