#ifndef QUORVELIN_MAIN_OUTPUT_LOG_FILE_HPP
#define QUORVELIN_MAIN_OUTPUT_LOG_FILE_HPP

// The program's outputs: standard output, the debug log file and the report
// file. Their streams notice the first write that fails (a full disk,
// /dev/full, a pipe or FIFO whose reader has gone, an I/O error), say so
// once on standard error, each output in its own line:
//   Error: debug log PATH: write failed: No space left on device
//   Error: report PATH: write failed: Broken pipe
//   Error: standard output: write failed: Broken pipe
// and from then on drop what is written to them, so the test goes on; main
// asks output_write_failed() at the end and exits with status 1.
//
// What goes in between two flushes (std::endl, flush()) reaches the file in
// one write(2): a report record or a log line is never split by a buffer
// boundary, so a full disk or a crash leaves whole records behind, at most
// the last one cut.

#include <sys/types.h>

#include <memory>
#include <ostream>
#include <string>

// What identifies an opened file, to tell two names of one file apart.
struct opened_file {
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
    // A character device (/dev/null, /dev/full, a terminal) takes two
    // writers without harm.
    bool shared_freely = false;
};

// Opens PATH for appending (existing contents stay). A FIFO without a reader
// is refused at once rather than waited for. Throws std::runtime_error
// "PATH Can't open file: REASON". `opened`, when given, receives the file's
// identity.
std::unique_ptr<std::ostream> open_log_file(const std::string& path, opened_file* opened = nullptr);

// Opens PATH afresh for the report: emptied, then written by appending, so
// that a rotation that truncates it leaves a clean file. Refuses PATH when it
// is `log`'s file: "--report PATH and --log-file LOG are the same file".
std::unique_ptr<std::ostream> open_report_file(const std::string& path, const opened_file* log = nullptr);

// Descriptors 0, 1 and 2 that are closed are pointed at /dev/null, so that
// no file opened later takes their place (a report file as descriptor 1
// would receive the progress lines). Call first of all.
void keep_standard_descriptors_open();

// From now on std::cout writes standard output as the files above do: a
// failed write (a closed pipe, with SIGPIPE ignored) is said once and the
// rest dropped.
void watch_standard_output();

// Whether a write to any of the outputs above has failed.
bool output_write_failed();

#endif
