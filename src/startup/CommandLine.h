#pragma once

#include <string>

namespace brisko::startup {

// The whole command line as one text: the arguments after the program name joined by single
// spaces, so that a folder given unquoted with spaces in its name arrives whole. Empty when there
// are no arguments.
std::string CommandLineFrom(int argc, const char* const* argv);

} // namespace brisko::startup
