// The command line: read whole before anything runs; sticky stage flags and --seed for the
// configuration files after them, options of the whole run, and for every other argument one
// configuration file loaded, tokenised and run through the selected stages in their fixed order.
// In an MPI job every process reads the command line and the inputs; process 0 alone prints and
// writes.
#pragma once

#include "driver/cluster.h"

/// Runs the command line as process `cluster` of its job; returns -1 on a usage error, 1 when a
/// configuration file could not be loaded, else 0 (a failed stage ends the process, and the job,
/// with its own code).
int driver_main(int argc, char** argv, const Cluster& cluster);
