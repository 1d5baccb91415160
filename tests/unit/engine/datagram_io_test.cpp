// The socket's decisions that need no traffic: how the kernel's running
// drop count becomes drops per batch, and the device endpoint's system
// error for an unknown device, with no query socket left open on any path.
// (The index it resolves scopes the server address, which the net tests
// see in the debug log; what a bind refused for want of privilege says,
// the startup end-to-end test checks for both ports.)
#include "engine/socket/datagram_io.hpp"
#include "morvo/asio/raw.hpp"
#include "../support/wire_bytes.hpp"

#include <boost/asio/io_service.hpp>

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using zarn::quorvelin::datagram_io;

TEST(DatagramIo, KernelDropsCountOnceAndOnlyForward)
{
    boost::asio::io_service loop;
    boost::asio::ip::udp::socket socket(loop);
    datagram_io io(socket);
    // Running totals as batches carry them (possibly out of order), and the
    // new drops each brings.
    const struct {
        std::uint32_t total;
        std::uint32_t new_drops;
    } batches[] = {
        {0, 0}, {5, 5}, {5, 0}, {3, 0}, {9, 4}, {0xFFFFFFFE, 0}, {0x7FFFFFFF, 0x7FFFFFF6}, {0x80000005, 6}, {2, 0x7FFFFFFD},
    };
    for (const auto& b : batches)
        EXPECT_EQ(io.new_drops(b.total), b.new_drops) << b.total;
}

TEST(DeviceEndpoint, UnknownDevicesFailWithTheSystemErrorAndNoSocketIsLeftOpen)
{
    using device_endpoint = boost::asio::ip::basic_endpoint<morvo::asio::raw>;
    auto open_descriptors = [] {
        const std::filesystem::directory_iterator fds("/proc/self/fd");
        return std::distance(begin(fds), end(fds));
    };
    const auto before = open_descriptors();
    for (int i = 0; i < 50; ++i) {
        device_endpoint lo("lo");
        for (const char* name : {"qv-no-such-dev", "a-device-name-longer-than-ifnamsiz"})
            EXPECT_EQ(wire_bytes::error_of([&] { device_endpoint{name}; }), "if_nametoindex: No such device");
    }
    EXPECT_EQ(open_descriptors(), before);
}

} // namespace
