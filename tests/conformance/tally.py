"""The count of passed and failed checks both conformance suites print."""

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
