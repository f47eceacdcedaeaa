"""pytest for `make sanitize`. ASan read its options when this process
started; the copy in the environment, which child processes inherit, turns
leak detection off for them (they keep every other check): dask's workers
and the import checks end with live threads, whose frames and thread states
LeakSanitizer would count. Every call of the module under test happens in
this process, where leaks are checked."""
import os
import sys

import pytest

if __name__ == "__main__":   # spawned children import this module again
    os.environ["ASAN_OPTIONS"] = os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    sys.exit(pytest.main(sys.argv[1:]))
