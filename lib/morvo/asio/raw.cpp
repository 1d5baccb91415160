#include "morvo/asio/raw.hpp"

#include "morvo/exception/throw_error.hpp"

#include <boost/system/error_code.hpp>

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace morvo {
namespace asio {

int raw::protocol() const
{
    return htons(ETH_P_ALL);
}

namespace {

// Reports the errno left by a failed call; a failure without errno is let pass.
void report_errno(int error)
{
    morvo::exception::throw_error(boost::system::error_code(error, boost::system::generic_category()),
                                  "if_nametoindex");
}

// Closes the query socket on every path out of the hardware-address lookup.
class scoped_fd {
public:
    explicit scoped_fd(int fd) : fd_(fd) {}
    scoped_fd(const scoped_fd&) = delete;
    scoped_fd& operator=(const scoped_fd&) = delete;
    ~scoped_fd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

} // namespace
} // namespace asio
} // namespace morvo

namespace boost {
namespace asio {
namespace ip {

basic_endpoint<morvo::asio::raw>::basic_endpoint(const std::string& device)
{
    std::memset(&address_, 0, sizeof address_);
    address_.sll_family = AF_PACKET;
    address_.sll_protocol = htons(ETH_P_ALL);

    errno = 0;
    address_.sll_ifindex = static_cast<int>(::if_nametoindex(device.c_str()));
    if (address_.sll_ifindex == 0)
        morvo::asio::report_errno(errno);

    ifreq request;
    std::memset(&request, 0, sizeof request);
    std::strncpy(request.ifr_name, device.c_str(), IFNAMSIZ - 1);

    errno = 0;
    morvo::asio::scoped_fd fd(::socket(AF_INET, SOCK_DGRAM, 0));
    if (fd.get() < 0) {
        morvo::asio::report_errno(errno);
        return;
    }

    errno = 0;
    if (::ioctl(fd.get(), SIOCGIFHWADDR, &request) < 0) {
        // errno is taken before the socket closes, which may change it.
        morvo::asio::report_errno(errno);
        return;
    }
    std::memcpy(address_.sll_addr, request.ifr_hwaddr.sa_data, 6);
}

} // namespace ip
} // namespace asio
} // namespace boost
