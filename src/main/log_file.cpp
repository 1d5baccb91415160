#include "main/log_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <streambuf>

namespace {

std::atomic<bool> write_failed{false};

// A buffered writer on a file descriptor opened for appending. Every write of
// the program goes through sync() (each log line ends with std::endl), so a
// failure is seen when it happens, with the system's reason.
class log_buffer : public std::streambuf {
public:
    log_buffer(int fd, std::string name) : fd_(fd), name_(std::move(name)) { setp(space_.begin(), space_.end()); }
    log_buffer(const log_buffer&) = delete;
    log_buffer& operator=(const log_buffer&) = delete;
    ~log_buffer() override
    {
        sync();
        ::close(fd_);
    }

protected:
    int_type overflow(int_type c) override
    {
        sync();
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }

    // Always reports success: after a failure the log is given up, not the test.
    int sync() override
    {
        const char* p = pbase();
        while (!failed_ && p < pptr()) {
            const ssize_t n = ::write(fd_, p, static_cast<std::size_t>(pptr() - p));
            if (n > 0)
                p += n;
            else if (n < 0 && errno != EINTR)
                fail(errno);
            else if (n == 0)
                fail(EIO);
        }
        setp(space_.begin(), space_.end());
        return 0;
    }

private:
    void fail(int error)
    {
        failed_ = true;
        if (!write_failed.exchange(true))
            std::fprintf(stderr, "Error: %s: write failed: %s\n", name_.c_str(), std::strerror(error));
    }

    int fd_;
    std::string name_; // "debug log PATH"
    bool failed_ = false;
    std::array<char, 4096> space_;
};

class log_stream : public std::ostream {
public:
    log_stream(int fd, const std::string& name) : std::ostream(nullptr), buffer_(fd, name) { rdbuf(&buffer_); }

private:
    log_buffer buffer_;
};

std::unique_ptr<std::ostream> open_file(const std::string& path, int mode, const std::string& kind)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | mode, 0666);
    if (fd < 0)
        return nullptr;
    return std::unique_ptr<std::ostream>(new log_stream(fd, kind + " " + path));
}

} // namespace

std::unique_ptr<std::ostream> open_log_file(const std::string& path)
{
    return open_file(path, O_APPEND, "debug log");
}

std::unique_ptr<std::ostream> open_report_file(const std::string& path)
{
    return open_file(path, O_TRUNC, "report");
}

bool log_write_failed()
{
    return write_failed.load();
}
