#ifndef QUORVELIN_MAIN_OUTPUT_OUTPUT_BUFFER_HPP
#define QUORVELIN_MAIN_OUTPUT_OUTPUT_BUFFER_HPP

// The writer behind every output of the program (see log_file.hpp): it
// gathers what is written until a flush and hands it to write(2) whole. Any
// thread may write to it: each piece and each flush takes its lock.

#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>

class output_buffer : public std::streambuf {
public:
    // Writes to `fd`, closing it at the end when `owned`; `name` ("report
    // PATH") names the output in the error line.
    output_buffer(int fd, std::string name, bool owned);
    output_buffer(const output_buffer&) = delete;
    output_buffer& operator=(const output_buffer&) = delete;
    ~output_buffer() override;

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* text, std::streamsize count) override;
    // Always reports success: after a failure the output is given up, not the test.
    int sync() override;

private:
    void write_pending();
    void fail(int error);

    std::mutex lock_;
    const int fd_;
    const std::string name_;
    const bool owned_;
    bool failed_ = false;
    // There is no put area: every character comes through overflow or
    // xsputn, under the lock.
    std::string pending_;
};

class output_stream : public std::ostream {
public:
    output_stream(int fd, const std::string& name) : std::ostream(nullptr), buffer_(fd, name, true) { rdbuf(&buffer_); }

private:
    output_buffer buffer_;
};

#endif
