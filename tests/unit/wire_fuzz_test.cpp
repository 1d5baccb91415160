// Random and damaged replies and previous requests through the reply walks
// and the encoder. Every input and every output range is a heap block of
// exactly its size, so the sanitizer build reports any byte read or written
// outside them; the walks must also leave their ranges inside the input.
#include "wire_bytes.hpp"

#include <gtest/gtest.h>

#include <map>
#include <random>

using namespace wire_bytes;
using zarn::quorvelin::relay_param;

namespace {

class generator {
public:
    unsigned below(unsigned n) { return static_cast<unsigned>(engine_() % n); }
    bool chance(unsigned percent) { return below(100) < percent; }
    bytes noise(unsigned max)
    {
        bytes out(below(max + 1));
        for (auto& b : out)
            b = static_cast<unsigned char>(engine_());
        return out;
    }

    // A plausible option, sometimes cut short or with a lying length.
    bytes some_option(int depth)
    {
        static const unsigned codes[] = {1, 2, 3, 5, 9, 13, 18, 25, 26, 37, 0, 4, 99};
        const unsigned code = codes[below(13)];
        bytes data = code == 3 || code == 25 ? cat({u32(below(3)), noise(8), depth < 2 ? some_option(depth + 1) : bytes()})
                     : code == 5            ? iaaddr("2001:db8::7", 7200, 10800)
                     : code == 13           ? cat({u16(below(7)), text("status")})
                     : code == 9            ? some_message(depth + 1)
                                            : noise(20);
        if (chance(10))
            data.resize(below(unsigned(data.size()) + 1));
        bytes out = option(code, data);
        if (chance(5))
            out[3] = static_cast<unsigned char>(engine_());
        return out;
    }

    // A client/server message or relay layers around one.
    bytes some_message(int depth)
    {
        static const unsigned types[] = {2, 7, 12, 13, 1, 5, 13, 7};
        const unsigned type = depth > 3 ? 7 : types[below(8)];
        bytes options;
        for (unsigned i = below(5); i > 0; --i)
            options = cat({options, some_option(depth + 1)});
        if (type != 12 && type != 13)
            return message(type, engine_() & 0xffffff, options);
        const bool outer = chance(50);
        return relay(type, chance(90) ? 0 : 1, outer ? "2001:db8:ffff::1" : "2001:db8:1::1",
                     outer ? "2001:db8:1::1" : "fe80::1", cat({options, option(9, some_message(depth + 1))}));
    }

    // Random flips, then perhaps a cut or a random tail.
    bytes damaged(bytes data)
    {
        for (unsigned i = below(4); i > 0 && !data.empty(); --i)
            data[below(unsigned(data.size()))] = static_cast<unsigned char>(engine_());
        if (chance(40) && !data.empty())
            data.resize(below(unsigned(data.size()) + 1));
        return chance(10) ? cat({data, noise(8)}) : data;
    }

private:
    std::mt19937 engine_{20240607};
};

} // namespace

TEST(WireFuzz, RandomAndDamagedInputsStayInsideTheirRanges)
{
    const std::string relays = "RELAY 2001:db8:ffff::1 => 2001:db8:1::1 { REMOTE_ID = [ \"r1\", \"r22\" ], 38 = @auto },"
                               "RELAY 2001:db8:1::1 => fe80::1 { INTERFACE_ID = [ \"eth0\", \"eth1\" ] }";
    std::vector<std::shared_ptr<top_param>> messages = {
        scenario("REQUEST { CID = @auto, 15 = [ \"a\", \"\" ], IA_PD 1 { IAPREFIX = @auto, IAPREFIX ::/56 { } },"
                 " 3 = @auto, 8 = @auto }")};
    for (const char* type : {"SOLICIT", "REQUEST", "RELEASE"})
        for (const auto& m : {scenario(builtin(type)), relayed(builtin(type), relays)})
            messages.push_back(m);
    const auto inner_relay = scenario(relays)->relays_.at(1);
    std::vector<bytes> seeds; // what the scenario really sends, to damage
    for (const auto& m : messages)
        if (client c(0x42); c.start(*m))
            seeds.push_back(c.sent());

    generator random;
    std::map<std::string, int> outcomes;
    const int iterations = 20000;
    for (int i = 0; i < iterations; ++i) {
        const unsigned kind = random.below(4);
        const std::vector<char> input = [&](bytes b) { return std::vector<char>(b.begin(), b.end()); }(
            kind == 0 ? random.noise(80) : kind == 1 ? random.some_message(0)
            : kind == 2 ? random.damaged(random.some_message(0)) : random.damaged(seeds[random.below(seeds.size())]));
        const char *const begin = input.data(), *const end = begin + input.size();
        auto walk = [&](const char* what, auto f) {
            const char *b = begin, *e = end;
            if (f(b, e))
                ++outcomes[what];
            ASSERT_TRUE(begin <= b && b <= e && e <= end) << what;
        };
        walk("message", [](const char*& b, const char*& e) {
            const bool found = relay_param::get_message(b, e);
            EXPECT_TRUE(!found || e - b >= 4);
            return found;
        });
        walk("stripped", [&](const char*& b, const char*& e) {
            relay_param::strip_relays(b, e);
            EXPECT_TRUE(input.size() < 4 || e - b >= 4); // a transaction id is left to read
            return false;
        });
        walk("relay", [&](const char*& b, const char*& e) { return inner_relay->find_next_message(b, e); });
        for (const auto& m : messages)
            walk("", [&](const char*& b, const char*& e) { return m->params_.back()->find_option(b, e); });

        const bytes previous_bytes = random.damaged(seeds[random.below(seeds.size())]);
        const std::vector<char> previous(previous_bytes.begin(), previous_bytes.end());
        std::vector<char> out(random.chance(10) ? 1500 : random.below(200));
        const std::string error = error_of([&] {
            char* built = messages[random.below(messages.size())]->build_packet(
                out.data(), out.data() + out.size(), begin, end, previous.data(), previous.data() + previous.size(), 0);
            ++outcomes[built ? "built" : "refused"];
            ASSERT_TRUE(!built || (out.data() + 4 <= built && built <= out.data() + out.size()));
        });
        if (error != "accepted")
            ++outcomes[error];
    }
    // The inputs reached every outcome, not just the cheap early exits.
    for (const char* outcome : {"message", "relay", "built", "refused", "paket too short", "packet too short",
                                "relay param too short"})
        EXPECT_GT(outcomes[outcome], iterations / 200) << outcome;
    EXPECT_EQ(outcomes.size() - outcomes.count(""), 7u); // no other error text
}
