#ifndef QUORVELIN_MAIN_LOG_FILE_HPP
#define QUORVELIN_MAIN_LOG_FILE_HPP

// The debug log file and the report file. Their stream notices the first
// write that fails (a full disk, /dev/full, an I/O error), says so once on
// standard error:
//   Error: debug log PATH: write failed: No space left on device
// (or "report PATH") and from then on drops what is written to it, so the
// test goes on; main asks log_write_failed() at the end and exits with
// status 1.

#include <memory>
#include <ostream>
#include <string>

// A stream appending to PATH, or null when PATH cannot be opened.
std::unique_ptr<std::ostream> open_log_file(const std::string& path);

// A stream writing PATH afresh, for the report; null when PATH cannot be opened.
std::unique_ptr<std::ostream> open_report_file(const std::string& path);

// Whether a write to a file opened here has failed.
bool log_write_failed();

#endif
