#include "main/output/output_buffer.hpp"

#include "main/output/log_file.hpp"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

std::atomic<bool> any_write_failed{false};

// Far above any record or line: only a writer that never flushes reaches it.
constexpr std::size_t most_pending = 1 << 20;

} // namespace

output_buffer::output_buffer(int fd, std::string name, bool owned) : fd_(fd), name_(std::move(name)), owned_(owned)
{
}

output_buffer::~output_buffer()
{
    sync();
    if (owned_)
        ::close(fd_);
}

output_buffer::int_type output_buffer::overflow(int_type c)
{
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        std::lock_guard<std::mutex> hold(lock_);
        pending_ += traits_type::to_char_type(c);
        if (pending_.size() >= most_pending)
            write_pending();
    }
    return traits_type::not_eof(c);
}

std::streamsize output_buffer::xsputn(const char* text, std::streamsize count)
{
    std::lock_guard<std::mutex> hold(lock_);
    pending_.append(text, static_cast<std::size_t>(count));
    if (pending_.size() >= most_pending)
        write_pending();
    return count;
}

int output_buffer::sync()
{
    std::lock_guard<std::mutex> hold(lock_);
    write_pending();
    return 0;
}

// One write(2) for everything since the last flush; a short write (a disk
// that filled up in the middle) is continued until the system refuses.
void output_buffer::write_pending()
{
    const char* p = pending_.data();
    const char* const end = p + pending_.size();
    while (!failed_ && p < end) {
        const ssize_t n = ::write(fd_, p, static_cast<std::size_t>(end - p));
        if (n > 0)
            p += n;
        else if (n < 0 && errno != EINTR)
            fail(errno);
        else if (n == 0)
            fail(EIO);
    }
    pending_.clear();
}

void output_buffer::fail(int error)
{
    failed_ = true;
    any_write_failed = true;
    std::fprintf(stderr, "Error: %s: write failed: %s\n", name_.c_str(), std::strerror(error));
}

bool output_write_failed()
{
    return any_write_failed.load();
}
