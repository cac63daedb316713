// The command-line handling that brackenreach-server and its load generator share on top of
// CLI11: checks for numeric options that also name their range in --help, and the parse step
// with its help and error output.
#pragma once

#include <CLI/CLI.hpp>

// Decimal digits only, no sign or prefix, worth lo to hi. Passes the number on without leading
// zeros: CLI11 converts with base 0 ("010" would be octal, "0x10" hex) and its later releases
// also read digit separators, so only this canonical text converts the same everywhere.
CLI::Validator whole_number(unsigned long lo, unsigned long hi);

// Anything strtod reads in full, worth lo (or, with above_lo, more than lo) to hi; NaN never.
// Passes the value on as "%.17g" text, which every CLI11 release converts to the same double.
CLI::Validator real_number(double lo, double hi, bool above_lo = false);

// Parses argv into app's options, with app's name as the program name. Returns -1 when the
// program should run; else the exit status, after printing --help or --version on stdout (0)
// or what was wrong on stderr (2).
int parse_command_line(CLI::App& app, int argc, char** argv);
