// --driver PATH: the command line runs a UEFI driver image file with the host
// firmware's image loader instead of the driver built into it.
#pragma once

#include <string>

namespace zem4::cli {

// Every Host made afterwards loads `path`. An image this process cannot call
// into is handed on: a PE32 (IA32) image in the 64-bit build re-runs the whole
// command (`argv`) in the 32-bit runner, zem4-32, and does not return. Throws
// Failure when that is impossible.
// `quiet` keeps the line that names the image off standard error.
void SelectDriverImage(const std::string &path, char **argv, bool quiet = false);
// Empty while the built-in driver is used.
const std::string &DriverImagePath();

} // namespace zem4::cli
