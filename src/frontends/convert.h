// pelmora-convert: the conventional command over the conversion run.  It
// reads LAS and LAZ files of versions 1.0-1.4 and point formats 0-10,
// several at a time, with options; results go to standard output, errors
// and warnings to standard error; the status is 0 when every file
// converted, 1 when any failed, 2 on a usage error.
//
// Called as pelmora-laz, it is that older command: one .laz file, its
// options (--keep-las among them), status 255 on any failure.
#pragma once

#include "frontends/run_limits.h"

int convert_main(int argc, char **argv, const RunLimits &limits = {});
