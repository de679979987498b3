import os
import shutil
import subprocess
import sys

import pytest

import kovrant

# The C and C++ runtimes: present on every Linux that runs Python wheels.
RUNTIME_LIBRARIES = ("linux-vdso.so", "ld-linux", "libc.so", "libm.so", "libstdc++.so", "libgcc_s.so",
                     "libpthread.so", "libdl.so", "librt.so")


@pytest.mark.skipif(not sys.platform.startswith("linux") or shutil.which("ldd") is None, reason="needs Linux ldd")
def test_module_links_only_the_c_and_cpp_runtime():
    listing = subprocess.run(["ldd", kovrant.__file__], capture_output=True, text=True, check=True).stdout
    libraries = [os.path.basename(line.split()[0]) for line in listing.splitlines() if line.strip()]
    assert "libstdc++.so.6" in libraries
    assert [name for name in libraries if not name.startswith(RUNTIME_LIBRARIES)] == []


def test_one_shared_object_holds_the_core_for_both_modules():
    import kovrant_tools
    from kovrant_tools import _engine

    folder = os.path.dirname(kovrant_tools.__file__)
    assert [name for name in os.listdir(folder) if name.endswith((".so", ".pyd"))] == []
    assert _engine.__file__ == kovrant.__file__
    # The toolkit reads kovrant's own Circuit objects, so they are one type.
    assert _engine.notation(kovrant.Circuit("R0-(R1,C1)")) == "R0-(R1,C1)"
