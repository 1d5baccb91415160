#include "message/param.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <sstream>

using namespace zarn::quorvelin;
using morvo::network::internet6_address;
using morvo::network::prefix6_address;

namespace {

internet6_address addr(const char* text)
{
    internet6_address a;
    EXPECT_EQ(inet_pton(AF_INET6, text, a.data()), 1) << text;
    return a;
}

template <class Node>
std::string dumped(const Node& node, int indent = 0)
{
    std::ostringstream os;
    node.dump(os, indent);
    return os.str();
}

std::shared_ptr<option_param> auto_option(int code)
{
    return std::make_shared<option_param>(code, param_value());
}

} // namespace

TEST(ParamTree, WorkedExampleDumpsSixLines)
{
    top_param top;
    top.type_ = 1;
    auto cid = auto_option(1);
    auto ia = std::make_shared<ia_param>(3, 1);
    ia->add_option(auto_option(5));
    for (std::shared_ptr<param> child : {std::shared_ptr<param>(cid), std::shared_ptr<param>(ia)}) {
        child->type_ = top.type_;
        top.params_.push_back(child);
    }
    EXPECT_EQ(dumped(top),
              "1 RELAYS=0\n"
              "\n"
              "    [1] 1 = @auto\n"
              "    [2] 3 IAID=1 T1=0 T2=0 OPTIONS=\n"
              "        [1] 5 = @auto\n"
              "\n");
}

TEST(ParamTree, AlternativesFromStringThenIntDumpAnyOf)
{
    option_param option(39, param_value(std::string("ab")));
    option.next_scene();
    option.add_param(param_value(0x0102));
    ASSERT_EQ(option.values_.size(), 2u);
    EXPECT_EQ(dumped(option, 4), "39 = Any of\n        {61:62} \"ab\"\n        {1:2}");
}

TEST(ParamTree, ValuesKeepTheirLowBytesMostSignificantFirst)
{
    option_param option(99, param_value(0x12345));
    option.add_param(param_value(0x1122334455L));
    option.add_param(param_value(addr("2001:db8::1")));
    option.add_param(param_value(std::shared_ptr<param>()));
    ASSERT_EQ(option.values_.size(), 1u);
    const std::vector<unsigned char> expected = {0x23, 0x45, 0x22, 0x33, 0x44, 0x55, 0x20, 0x01, 0x0d, 0xb8,
                                                 0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
                                                 0,    1};
    EXPECT_EQ(option.values_.front(), expected);
}

TEST(ParamTree, EmptyAndAutomaticOptions)
{
    option_param empty(7, param_value(std::string()));
    EXPECT_EQ(dumped(empty), "7 = Empty");
    option_param automatic(2, param_value());
    EXPECT_TRUE(automatic.is_auto_);
    EXPECT_TRUE(automatic.values_.empty());
    automatic.next_scene();
    EXPECT_EQ(automatic.current_, automatic.values_.cend());
    EXPECT_EQ(dumped(automatic), "2 = @auto");
}

TEST(ParamTree, CursorRingsThroughAlternativesAndEnd)
{
    option_param option(1, param_value(1));
    option.next_scene();
    option.add_param(param_value(2));
    option.next_scene(); // construction leaves the cursor at the end
    auto first = option.values_.cbegin();
    auto second = std::next(first);
    EXPECT_EQ(option.current_, option.values_.cend());
    option.next_scene();
    EXPECT_EQ(option.current_, first);
    option.next_scene();
    EXPECT_EQ(option.current_, second);
    option.next_scene();
    EXPECT_EQ(option.current_, option.values_.cend());
}

TEST(ParamTree, IaKeepsLastTimersAndDumpsInfinityAsMinusOne)
{
    ia_param ia(25, 7);
    ia.add_option(std::make_shared<t1_param>(5));
    ia.add_option(std::make_shared<t1_param>(6));
    ia.add_option(std::make_shared<t2_param>(0xFFFFFFFFu));
    EXPECT_TRUE(ia.params_.empty());
    EXPECT_EQ(ia.t1_, 6u);
    EXPECT_EQ(dumped(ia), "25 IAID=7 T1=6 T2=-1 OPTIONS=");
}

TEST(ParamTree, IaDataAcceptsOnlyLifetimes)
{
    iaaddr_param address(5, addr("2001:db8::10"));
    address.add_option(std::make_shared<ptime_param>(1800));
    address.add_option(std::make_shared<vtime_param>(3600));
    EXPECT_THROW(
        {
            try {
                address.add_option(std::make_shared<t1_param>(9));
            } catch (const std::invalid_argument& e) {
                EXPECT_STREQ(e.what(), "<iaprfix>");
                throw;
            }
        },
        std::invalid_argument);
    EXPECT_THROW(address.add_option(nullptr), std::invalid_argument);
    EXPECT_EQ(dumped(address), "5 2001:db8::10 PTIME=1800 VTIME=3600");
}

TEST(ParamTree, PrefixIsClampedAndMasked)
{
    iaprefix_param prefix(26, prefix6_address(addr("2001:db8:ffff::"), 32));
    EXPECT_EQ(dumped(prefix), "26 2001:db8::/32 PTIME=0 VTIME=0");
    EXPECT_EQ(prefix6_address(addr("2001:db8::1"), 200).to_string(), "2001:db8::1/128");
    EXPECT_EQ(prefix6_address(addr("2001:db8::1"), 0).to_string(), "::/0");
    EXPECT_EQ(prefix6_address(addr("2001:db8::ffff"), 104).to_string(), "2001:db8::/104");
    EXPECT_EQ(prefix6_address(addr("2001:db8::1"), 256 + 48).to_string(), "2001:db8::/48");
}

TEST(ParamTree, OptionNamesIgnoreCase)
{
    EXPECT_EQ(option_param::optcode("cid"), 1);
    EXPECT_EQ(option_param::optcode("Cid"), 1);
    EXPECT_EQ(option_param::optcode("vendor_class"), 16);
    EXPECT_EQ(option_param::optcode("CLIENT_RELAY_DATA"), 47);
    for (const char* unknown : {"IA-NA", "CID ", "", "CLIENT_RELAY_DAYA"}) {
        try {
            option_param::optcode(unknown);
            ADD_FAILURE() << unknown;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), std::string(unknown) + " : undefined option-name");
        }
    }
}

TEST(ParamTree, TopNextSceneAdvancesRelaysBeforeChildren)
{
    top_param top;
    auto relay = std::make_shared<relay_param>();
    auto relay_option = std::make_shared<option_param>(18, param_value(std::string("a")));
    relay->params_.push_back(relay_option);
    top.relays_.push_back(relay);
    auto own = std::make_shared<option_param>(1, param_value(1));
    top.params_.push_back(own);
    top.next_scene();
    EXPECT_EQ(relay_option->current_, relay_option->values_.cend());
    EXPECT_EQ(own->current_, own->values_.cend());
    top.next_scene();
    EXPECT_EQ(relay_option->current_, relay_option->values_.cbegin());
}
