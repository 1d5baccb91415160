// The writer behind standard output, the report and the debug log: what lies
// between two flushes reaches the file in one write. (That each output that
// stops taking writes is named once in its own error line, the outputs
// end-to-end test checks on /dev/full.)
#include "main/output/output_buffer.hpp"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

// The datagrams waiting on `fd`: each one write(2) of the other end.
std::vector<std::string> datagrams(int fd)
{
    std::vector<std::string> got;
    std::string space(1 << 16, '\0');
    for (ssize_t n; (n = ::recv(fd, &space[0], space.size(), MSG_DONTWAIT)) >= 0;)
        got.emplace_back(space.data(), static_cast<std::size_t>(n));
    return got;
}

} // namespace

TEST(OutputBuffer, WhatLiesBetweenTwoFlushesIsOneWrite)
{
    // A summary record is larger than any fixed buffer a writer might split it at.
    const std::string record = "{\"type\":\"summary\",\"steps\":\"" + std::string(10000, 's') + "\"}";
    const struct {
        const char* name;
        void (*write)(std::ostream&, const std::string&);
        std::vector<std::string> want;
    } cases[] = {
        {"one record", [](std::ostream& out, const std::string& r) { out << r << std::endl; }, {record + "\n"}},
        {"two records",
         [](std::ostream& out, const std::string& r) { out << r << std::endl << "{\"type\":\"tick\"}" << std::endl; },
         {record + "\n", "{\"type\":\"tick\"}\n"}},
        {"pieces, then a flush",
         [](std::ostream& out, const std::string&) { out << "# received xid:" << 42 << ' ' << "from:" << "fe80::1\n" << std::flush; },
         {"# received xid:42 from:fe80::1\n"}},
        {"nothing flushed", [](std::ostream& out, const std::string&) { out << "pending"; }, {}},
    };
    for (const auto& c : cases) {
        int ends[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM, 0, ends), 0);
        int sndbuf = 1 << 18;
        ::setsockopt(ends[0], SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
        {
            output_stream out(ends[0], "report test");
            c.write(out, record);
            EXPECT_EQ(datagrams(ends[1]), c.want) << c.name;
        } // closes ends[0], writing what was pending
        ::close(ends[1]);
    }
}
