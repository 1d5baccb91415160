#include "main/output/log_file.hpp"

#include "main/output/output_buffer.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <stdexcept>

namespace {

[[noreturn]] void cannot_open(const std::string& path, const std::string& reason)
{
    throw std::runtime_error(path + " Can't open file: " + reason);
}

// Why open(2) failed. Opening a FIFO without waiting fails with ENXIO when
// no reader has it open; the system's text for that names no FIFO.
std::string open_failure(const std::string& path, int error)
{
    struct stat st;
    if (error == ENXIO && ::stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode))
        return "a FIFO without a reader (start the reader first)";
    return std::strerror(error);
}

// PATH opened for appending, its identity in `opened`. O_NONBLOCK only
// keeps the open itself from waiting for a FIFO's reader; writes block as
// they do on any file, so a slow reader loses nothing.
int open_appending(const std::string& path, opened_file& opened)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0)
        cannot_open(path, open_failure(path, errno));
    struct stat st;
    if (::fstat(fd, &st) != 0 || ::fcntl(fd, F_SETFL, O_APPEND) != 0) {
        const int error = errno;
        ::close(fd);
        cannot_open(path, std::strerror(error));
    }
    opened = {path, st.st_dev, st.st_ino, S_ISCHR(st.st_mode)};
    return fd;
}

bool same_file(const opened_file& a, const opened_file& b)
{
    return a.device == b.device && a.inode == b.inode && !a.shared_freely;
}

// A regular file loses its contents; a FIFO or a device has none to lose.
void empty_regular_file(int fd, const std::string& path)
{
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::ftruncate(fd, 0) != 0) {
        const int error = errno;
        ::close(fd);
        cannot_open(path, std::strerror(error));
    }
}

} // namespace

std::unique_ptr<std::ostream> open_log_file(const std::string& path, opened_file* opened)
{
    opened_file identity;
    const int fd = open_appending(path, identity);
    if (opened)
        *opened = identity;
    return std::unique_ptr<std::ostream>(new output_stream(fd, "debug log " + path));
}

std::unique_ptr<std::ostream> open_report_file(const std::string& path, const opened_file* log)
{
    opened_file report;
    // Opened without O_TRUNC: were it the debug log, emptying it would
    // destroy the log of earlier runs and this run's start line.
    const int fd = open_appending(path, report);
    if (log && same_file(report, *log)) {
        ::close(fd);
        throw std::runtime_error("--report " + path + " and --log-file " + log->path + " are the same file");
    }
    empty_regular_file(fd, path);
    return std::unique_ptr<std::ostream>(new output_stream(fd, "report " + path));
}

void keep_standard_descriptors_open()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free descriptor is this one, since those below are open.
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) {
            ::dup2(null, fd);
            ::close(null);
        }
    }
}

void watch_standard_output()
{
    // Never destroyed: std::cout is flushed at exit, after every static
    // object of this program has gone.
    static output_buffer* const out = new output_buffer(STDOUT_FILENO, "standard output", false);
    std::cout.rdbuf(out);
}
