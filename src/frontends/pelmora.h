// One conversion run of Pelmora, from the command line to the exit status:
// what main() does, callable in-process (the tests' and the fuzzer's entry
// point).  Every failure ends here as its message on standard output and
// the result -1.
#pragma once

int run(int argc, char **argv);
