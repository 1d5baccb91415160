// Random and damaged replies and previous requests through the reply walks
// and the encoder. Every input sits at the very end of a heap block of its
// own size and every output range is a heap block of exactly its size, so
// the sanitizer build reports any byte read or written outside them.
#include "wire_bytes.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <set>

using namespace wire_bytes;
using namespace zarn::quorvelin;

namespace {

const char* const inner_link = "2001:db8:1::1";
const char* const inner_peer = "fe80::1";
const char* const outer_link = "2001:db8:ffff::1";

class generator {
public:
    explicit generator(std::uint32_t seed) : engine_(seed) {}

    unsigned below(unsigned n) { return static_cast<unsigned>(engine_() % n); }
    bool chance(unsigned percent) { return below(100) < percent; }

    bytes noise(unsigned max_size)
    {
        bytes out(below(max_size + 1));
        for (auto& b : out)
            b = static_cast<unsigned char>(engine_());
        return out;
    }

    // A plausible option, sometimes a damaged one.
    bytes some_option(int depth)
    {
        static const unsigned codes[] = {1, 2, 3, 5, 9, 13, 18, 25, 26, 37, 0, 4, 99};
        const unsigned code = codes[below(sizeof codes / sizeof codes[0])];
        bytes data;
        switch (code) {
        case 3:
        case 25:
            data = cat({u32(below(3)), u32(engine_()), u32(engine_())});
            if (depth < 2)
                for (unsigned i = below(3); i > 0; --i)
                    data = cat({data, some_option(depth + 1)});
            break;
        case 5:
            data = cat({address_bytes("2001:db8::7"), u32(7200), u32(10800)});
            break;
        case 13:
            data = cat({u16(below(2) ? 0 : below(7)), text("status")});
            break;
        case 9:
            data = some_message(depth + 1);
            break;
        default:
            data = noise(20);
        }
        if (chance(10))
            data.resize(below(static_cast<unsigned>(data.size()) + 1));
        bytes out = option(code, data);
        if (chance(5)) // a length that lies
            out[3] = static_cast<unsigned char>(engine_());
        return out;
    }

    // A client/server message or relay layers around one.
    bytes some_message(int depth)
    {
        static const unsigned types[] = {2, 7, 12, 13, 1, 5, 13, 7};
        const unsigned type = depth > 3 ? 7 : types[below(sizeof types / sizeof types[0])];
        bytes options;
        for (unsigned i = below(5); i > 0; --i)
            options = cat({options, some_option(depth + 1)});
        if (type == 12 || type == 13) {
            const bool outer = chance(50);
            const bytes wrapped = option(9, some_message(depth + 1));
            return relay_layer(type, chance(90) ? 0 : 1, outer ? outer_link : inner_link,
                               outer ? inner_link : inner_peer,
                               chance(50) ? cat({options, wrapped}) : cat({wrapped, options}));
        }
        return message(type, engine_() & 0xffffff, options);
    }

    // Random flips, then perhaps a cut or a random tail.
    bytes damaged(bytes data)
    {
        for (unsigned i = below(4); i > 0 && !data.empty(); --i)
            data[below(static_cast<unsigned>(data.size()))] = static_cast<unsigned char>(engine_());
        if (chance(40) && !data.empty())
            data.resize(below(static_cast<unsigned>(data.size()) + 1));
        else if (chance(10))
            data = cat({data, noise(8)});
        return data;
    }

    bytes some_input(const std::vector<bytes>& seeds)
    {
        switch (below(4)) {
        case 0:
            return noise(80);
        case 1:
            return some_message(0);
        case 2:
            return damaged(some_message(0));
        default:
            return damaged(seeds[below(static_cast<unsigned>(seeds.size()))]);
        }
    }

private:
    std::mt19937 engine_;
};

// The whole input as its own heap block: one byte past it is outside.
struct exact_range {
    explicit exact_range(const bytes& data) : storage(data.begin(), data.end()) {}
    const char* begin() const { return storage.data(); }
    const char* end() const { return storage.data() + storage.size(); }
    std::vector<char> storage;
};

bool within(const exact_range& input, const char* b, const char* e)
{
    return input.begin() <= b && b <= e && e <= input.end();
}

std::vector<std::shared_ptr<top_param>> scenario_messages()
{
    auto outer = relay_tree(outer_link, inner_link, {fixed_option(37, {"r1", "r22"}), auto_option(38)});
    auto inner = relay_tree(inner_link, inner_peer, {fixed_option(18, {"eth0", "eth1"})});
    auto pd = std::make_shared<ia_param>(25, 1);
    pd->add_option(auto_option(26));
    pd->add_option(std::make_shared<iaprefix_param>(26, morvo::network::prefix6_address(address("2001:db8::"), 56)));

    std::vector<std::shared_ptr<top_param>> messages;
    for (int type : {1, 3, 8}) {
        messages.push_back(default_tree(type));
        auto one = default_tree(type);
        one->relays_ = {inner};
        messages.push_back(one);
        auto two = default_tree(type);
        two->relays_ = {outer, inner};
        messages.push_back(two);
    }
    messages.push_back(message_tree(3, {auto_option(1), fixed_option(15, {"a", "", "ccc"}), pd, auto_option(3),
                                        auto_option(8)}));
    return messages;
}

} // namespace

TEST(WireFuzz, RandomAndDamagedInputsStayInsideTheirRanges)
{
    generator random(20240607);
    const auto messages = scenario_messages();
    const std::set<std::string> known_errors = {"paket too short", "packet too short", "relay param too short"};
    const relay_param inner_relay(address(inner_link), address(inner_peer));

    // Well-formed previous requests to damage: what the scenario really sends.
    std::vector<bytes> seeds;
    for (const auto& m : messages) {
        client c(0x42);
        if (c.start(*m))
            seeds.push_back(c.sent());
    }
    ASSERT_FALSE(seeds.empty());

    std::map<std::string, int> outcomes;
    const int iterations = 20000;
    for (int i = 0; i < iterations; ++i) {
        const bytes raw = random.some_input(seeds);
        const exact_range input(raw);

        const char* b = input.begin();
        const char* e = input.end();
        if (relay_param::get_message(b, e)) {
            ++outcomes["get_message found"];
            ASSERT_GE(e - b, 4) << to_hex(raw);
        }
        ASSERT_TRUE(within(input, b, e)) << to_hex(raw);

        b = input.begin();
        e = input.end();
        relay_param::strip_relays(b, e);
        ASSERT_TRUE(within(input, b, e)) << to_hex(raw);
        if (raw.size() >= 4) {
            ASSERT_GE(e - b, 4) << to_hex(raw);
        }

        b = input.begin();
        e = input.end();
        if (inner_relay.find_next_message(b, e))
            ++outcomes["relay matched"];
        ASSERT_TRUE(within(input, b, e)) << to_hex(raw);

        for (const auto& m : messages) {
            b = input.begin();
            e = input.end();
            if (m->params_.back()->find_option(b, e)) {
                ASSERT_GE(e - b, 4);
            }
            ASSERT_TRUE(within(input, b, e)) << to_hex(raw);
        }

        const bytes request_raw = random.chance(70) ? random.damaged(seeds[random.below(static_cast<unsigned>(seeds.size()))])
                                                    : random.some_input(seeds);
        const exact_range request(request_raw);
        const top_param& m = *messages[random.below(static_cast<unsigned>(messages.size()))];
        std::vector<char> out(random.chance(10) ? 1500 : random.below(200));
        char* const out_begin = out.data();
        char* const out_end = out.data() + out.size();
        try {
            char* end = m.build_packet(out_begin, out_end, input.begin(), input.end(), request.begin(),
                                       request.end(), 0);
            ++outcomes[end ? "built" : "refused"];
            if (end) {
                ASSERT_TRUE(out_begin + 4 <= end && end <= out_end);
            }
        } catch (const std::runtime_error& error) {
            ASSERT_EQ(known_errors.count(error.what()), 1u) << error.what();
            ++outcomes[error.what()];
        }
    }

    // The inputs reached every outcome, not just the cheap early exits.
    for (const char* outcome : {"get_message found", "relay matched", "built", "refused", "paket too short",
                                "packet too short", "relay param too short"})
        EXPECT_GT(outcomes[outcome], iterations / 200) << outcome;
}
