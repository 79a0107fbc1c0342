// The command line: sticky stage flags, the --seed option, and for every other argument one
// configuration file loaded, tokenised and run through the selected stages in their fixed order.
#pragma once

/// Runs the command line; returns -1 on a usage error or a malformed seed, else 0.
int driver_main(int argc, char** argv);
