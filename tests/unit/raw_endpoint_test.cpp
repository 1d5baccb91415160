// The device endpoint: the system error for an unknown device, and no query
// socket left open on any path. (The index it resolves scopes the server
// address, which the net tests see in the debug log.)
#include "morvo/asio/raw.hpp"
#include "wire_bytes.hpp"

#include <gtest/gtest.h>

#include <filesystem>

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
