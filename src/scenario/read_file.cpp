// Scenario files are opened once and judged by the open descriptor, so a
// path that is swapped for a FIFO or a device between a check and the open
// cannot make loading hang or read without end.
#include "scenario/read_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace {

[[noreturn]] void cannot_open(const std::string& path, const std::string& reason = "")
{
    throw std::runtime_error(path + " Can't open file" + (reason.empty() ? "" : " (" + reason + ")"));
}

class descriptor {
public:
    explicit descriptor(int fd) : fd_(fd) {}
    descriptor(const descriptor&) = delete;
    descriptor& operator=(const descriptor&) = delete;
    ~descriptor() { ::close(fd_); }
    int get() const { return fd_; }

private:
    int fd_;
};

const char* const too_large = "larger than 1 MiB";

} // namespace

std::string read_scenario_file(const std::string& path)
{
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        cannot_open(path);
    const descriptor file(fd);

    struct stat info;
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode))
        cannot_open(path, "not a regular file");
    if (static_cast<std::uintmax_t>(info.st_size) > max_scenario_file_size)
        cannot_open(path, too_large);

    // The size is checked again while reading, for a file that grows.
    std::string text;
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(file.get(), chunk, sizeof chunk);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            cannot_open(path, std::string("read failed: ") + std::strerror(errno));
        }
        text.append(chunk, static_cast<std::size_t>(n));
        if (text.size() > max_scenario_file_size)
            cannot_open(path, too_large);
    }
    return text;
}
