#include "morvo/asio/raw.hpp"

#include <boost/system/system_error.hpp>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <linux/if_ether.h>
#include <net/if.h>

#include <string>

namespace {

using device_endpoint = boost::asio::ip::basic_endpoint<morvo::asio::raw>;

int open_descriptors()
{
    int count = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir)
        return -1;
    while (::readdir(dir))
        ++count;
    ::closedir(dir);
    return count;
}

TEST(DeviceEndpoint, LoopbackResolvesToItsIndex)
{
    device_endpoint lo("lo");
    EXPECT_EQ(lo.ifindex(), static_cast<std::int32_t>(::if_nametoindex("lo")));
    EXPECT_GT(lo.ifindex(), 0);
    EXPECT_EQ(lo.address().sll_family, AF_PACKET);
    EXPECT_EQ(lo.address().sll_protocol, htons(ETH_P_ALL));
    EXPECT_EQ(lo.address().sll_halen, 0);
    // The loopback device has an all-zero hardware address.
    for (unsigned char byte : lo.address().sll_addr)
        EXPECT_EQ(byte, 0);
    EXPECT_EQ(lo.size(), sizeof(sockaddr_ll));
}

TEST(DeviceEndpoint, UnknownDeviceThrowsIfNametoindexError)
{
    for (const std::string name : {"qv-no-such-dev", "a-device-name-longer-than-ifnamsiz"}) {
        try {
            device_endpoint endpoint(name);
            ADD_FAILURE() << name << " resolved to index " << endpoint.ifindex();
        } catch (const boost::system::system_error& e) {
            EXPECT_STREQ(e.what(), "if_nametoindex: No such device");
            EXPECT_EQ(e.code(), boost::system::errc::no_such_device);
        }
    }
}

TEST(DeviceEndpoint, QuerySocketIsClosedOnEveryPath)
{
    int before = open_descriptors();
    ASSERT_GT(before, 0);
    for (int i = 0; i < 50; ++i) {
        device_endpoint lo("lo");
        EXPECT_THROW(device_endpoint("qv-no-such-dev"), boost::system::system_error);
    }
    EXPECT_EQ(open_descriptors(), before);
}

} // namespace
