#pragma once

#include <optional>
#include <string>

#include "config/run_options.h"

namespace zelvo {

// The first directory of the search list (colon-separated, empty entries
// skipped) in which directory + suffix is executable; else the fallback.
std::string find_program(const char* search_list, const char* suffix, const char* fallback);

// A RunOptions with the home directory (HOME, else the password database),
// XAUTHORITY, DISPLAY and the feh and xrdb paths found on PATH; none, after
// one line on standard error, when there is no home directory.
std::optional<RunOptions> capture_environment();

// An option's number as atoi reads it, clamped to the range of int.
int option_number(const char* text);

// The whole life of the program: start-up, the cycle, tear-down. Gives the
// exit status.
int zelvo_main(int argc, char** argv);

}  // namespace zelvo
