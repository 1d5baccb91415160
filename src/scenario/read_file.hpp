#ifndef QUORVELIN_SCENARIO_READ_FILE_HPP
#define QUORVELIN_SCENARIO_READ_FILE_HPP

#include <cstddef>
#include <string>

// Far more than any scenario needs; a bigger file is a wrong argument.
constexpr std::size_t max_scenario_file_size = 1024 * 1024;

// The whole text of a scenario file. Only a regular file of at most
// max_scenario_file_size bytes is read; anything else fails with
// std::runtime_error "PATH Can't open file", followed for a file that opened
// by the reason in parentheses: "(not a regular file)", "(larger than 1 MiB)"
// or "(read failed: ...)". Never blocks on a FIFO or a device.
std::string read_scenario_file(const std::string& path);

#endif
