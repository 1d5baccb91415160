// The device endpoint: the interface index the server address is scoped to,
// the system error for an unknown device, and no descriptor left open.
#include "morvo/asio/raw.hpp"

#include <boost/system/system_error.hpp>

#include <gtest/gtest.h>

#include <net/if.h>

#include <filesystem>

namespace {

using device_endpoint = boost::asio::ip::basic_endpoint<morvo::asio::raw>;

TEST(DeviceEndpoint, ResolvesTheIndexOrFailsWithTheSystemError)
{
    EXPECT_EQ(device_endpoint("lo").ifindex(), static_cast<std::int32_t>(::if_nametoindex("lo")));
    for (const char* name : {"qv-no-such-dev", "a-device-name-longer-than-ifnamsiz"}) {
        try {
            device_endpoint endpoint(name);
            ADD_FAILURE() << name << " resolved";
        } catch (const boost::system::system_error& e) {
            EXPECT_STREQ(e.what(), "if_nametoindex: No such device");
        }
    }
}

TEST(DeviceEndpoint, QuerySocketIsClosedOnEveryPath)
{
    auto open_descriptors = [] {
        const std::filesystem::directory_iterator fds("/proc/self/fd");
        return std::distance(begin(fds), end(fds));
    };
    const auto before = open_descriptors();
    for (int i = 0; i < 50; ++i) {
        device_endpoint lo("lo");
        EXPECT_THROW(device_endpoint("qv-no-such-dev"), boost::system::system_error);
    }
    EXPECT_EQ(open_descriptors(), before);
}

} // namespace
