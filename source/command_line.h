// The server's command line: without arguments it serves; --help and --version answer
// and end. The Windows render child's internal argument is handled before this.
#pragma once

#include <optional>

// The version the server reports and logs at start.
inline constexpr char kServerVersion[] = "0.2";

// Answers the arguments before anything else happens (no log, no lock, no sweep):
// --help prints the settings with their defaults and where the files go, --version the
// version, both on standard output with exit code 0; any other argument prints the usage
// on standard error with exit code 2. Empty when there is no argument: the server runs.
std::optional<int> AnswerCommandLine(int argc, char** argv);
