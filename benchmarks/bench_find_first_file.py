"""Times find_first_file on a directory of 10,000 entries whose only match is listed last,
against the same walk written in plain Python, and prints both timings and their ratio.

Run with the package (and the stand-in platform, for the module's imports) on the path; build
it with -DCMAKE_BUILD_TYPE=Release (as the wheel is) for timings that mean something:

    PYTHONPATH=standin:build/<dir>/package python3 benchmarks/bench_find_first_file.py

Both walks are given the same `os`, whose listing puts the one match last.
"""

import os
import os as real_os
import shutil
import sys
import tempfile
import timeit

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "standin"))

import korvex_computer.korvex_core as korvex_core  # noqa: E402

ENTRIES = 10000
REPEAT = 5


def find_first_file_in_python(directory, ext):
    return next((os.path.join(directory, f) for f in os.listdir(directory)
                 if f.lower().endswith(ext) and os.path.isfile(os.path.join(directory, f))), "")


class LastMatchListing(object):
    """os as the module sees it, with a listing that puts the one match last."""

    def __init__(self, order):
        self.path = os.path
        self._order = order

    def listdir(self, directory):
        return list(self._order)


def best_of(function, directory, ext, number):
    return min(timeit.repeat(lambda: function(directory, ext), number=number,
                             repeat=REPEAT)) / number


def main():
    directory = tempfile.mkdtemp(prefix="bench_find_first_file_")
    try:
        names = ["entry%05d.dat" % i for i in range(ENTRIES - 1)]
        for file_name in names:
            open(os.path.join(directory, file_name), "w").close()
        open(os.path.join(directory, "Last.THF"), "w").close()
        order = names + ["Last.THF"]

        listing = LastMatchListing(order)
        korvex_core.os = listing
        globals()["os"] = listing
        try:
            expected = os.path.join(directory, "Last.THF")
            assert korvex_core.find_first_file(directory, ".thf") == expected
            assert find_first_file_in_python(directory, ".thf") == expected
            number = 20
            native = best_of(korvex_core.find_first_file, directory, ".thf", number)
            python = best_of(find_first_file_in_python, directory, ".thf", number)
        finally:
            globals()["os"] = real_os
            korvex_core.os = real_os
    finally:
        shutil.rmtree(directory)

    print("find_first_file, %d entries, match last (%s)" % (ENTRIES, sys.implementation.name))
    print("  module:       %8.3f ms" % (native * 1e3))
    print("  plain Python: %8.3f ms" % (python * 1e3))
    print("  ratio module/Python: %.2f" % (native / python))


if __name__ == "__main__":
    main()
