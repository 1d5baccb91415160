#include "message/vocabulary.hpp"

#include <gtest/gtest.h>

#include <sstream>

using namespace zarn::quorvelin;

namespace {
template <class T>
std::string printed(T value)
{
    std::ostringstream os;
    os << value;
    return os.str();
}
} // namespace

TEST(Vocabulary, MessageTypesPrintNumberAndName)
{
    EXPECT_EQ(printed(message_type(0)), "0:UNDEFINED");
    EXPECT_EQ(printed(msg_solicit), "1:SOLICIT");
    EXPECT_EQ(printed(msg_relay_forw), "12:RELAY_FORD");
    EXPECT_EQ(printed(msg_leasequery_reply), "15:LEASEQUERY_REPLY");
    EXPECT_EQ(printed(message_type(16)), "16:UNDEFINED");
    EXPECT_EQ(printed(message_type(-1)), "-1:UNDEFINED");
}

TEST(Vocabulary, OptionCodesPrintNumberAndNameWithFallback)
{
    EXPECT_EQ(printed(opt_ia_na), "3:IA_NA");
    EXPECT_EQ(printed(option_code(16)), "16:UNKNOWN");
    EXPECT_EQ(printed(option_code(47)), "47:CLIENT_RELAY_DAYA");
    EXPECT_EQ(printed(option_code(99)), "99:UNKNOWN");
    for (int unnamed : {10, 12, 21, 22, 27, 31, 33, 36, 40, 43, 48})
        EXPECT_EQ(printed(option_code(unnamed)), std::to_string(unnamed) + ":UNKNOWN");
}

TEST(Vocabulary, StatusCodesPrintNumberAndName)
{
    EXPECT_EQ(printed(status_no_addr_avail), "2:NoAddrAvail");
    EXPECT_EQ(printed(status_use_multicast), "5: UseMulticast");
    EXPECT_EQ(printed(status_code(6)), "6:NoPrefixAvail");
    EXPECT_EQ(printed(status_code(4242)), "4242:UNKNOWN");
    EXPECT_EQ(printed(status_code(-3)), "-3:UNKNOWN");
}
