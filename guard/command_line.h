// The command line: helmwatch [OPTIONS] [input device]
#pragma once

extern const char kUsageText[];

// Writes the usage text to standard error and ends the process with status 1,
// for -h as for every command-line error.
[[noreturn]] void PrintUsage();

// Parses the options into guard_config and returns the key device path, the
// first argument after them. Parsing stops at the first argument that is no
// option, so options after the device path are not seen. Any error ends the
// process through PrintUsage.
const char* ParseCommandLine(int argc, char* argv[]);
