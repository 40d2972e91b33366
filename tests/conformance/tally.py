"""The count of passed and failed checks the conformance suites print, and
the setup the newer ones share."""
import argparse
import os
import shutil

MAX_SHOWN = 5  # problems shown per failed check


class Tally:
    def __init__(self):
        self.passed = 0
        self.failed = []

    def check(self, name, problems):
        if problems:
            self.failed.append(name)
            print(f'FAIL {name}')
            for p in problems[:MAX_SHOWN]:
                print(f'     {p}')
            if len(problems) > MAX_SHOWN:
                print(f'     ... {len(problems) - MAX_SHOWN} more')
        else:
            self.passed += 1


def suite_setup(name, *extra):
    """Parses --convert, --lasgen, --workdir and the options EXTRA (each
    required), and empties WORKDIR/NAME; returns (arguments, that directory)."""
    parser = argparse.ArgumentParser()
    for option in ('--convert', '--lasgen', '--workdir', *extra):
        parser.add_argument(option, required=True)
    a = parser.parse_args()
    work = os.path.join(a.workdir, name)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    return a, work
