// Clients' last messages in blocks sized to them, built through scratch
// buffers: each build must match, byte for byte and in its failures, a build
// in place over a packet buffer of the client's own (wire_bytes::client), and
// leave every scratch buffer zero.
#include "engine/client_messages.hpp"
#include "scenario/load.hpp"
#include "wire_bytes.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

namespace {

using namespace wire_bytes;
using namespace zarn::quorvelin;

bytes stored(const stored_message& m)
{
    return bytes(m.data, m.data + m.size);
}

TEST(MessagePool, BlocksAreTheSmallestClassThatHoldsTheMessageAndAreReused)
{
    message_pool pool;
    stored_message m;
    const std::pair<std::size_t, std::size_t> size_and_block[] = {{1, 32},      {32, 32},     {33, 48},
                                                                   {1024, 1024}, {1499, 1504}, {1500, 1504}};
    for (const auto& sb : size_and_block) {
        const bytes data(sb.first, 0xa5);
        pool.store(m, reinterpret_cast<const char*>(data.data()), data.size());
        EXPECT_EQ(message_pool::class_sizes[m.size_class], sb.second) << sb.first;
        EXPECT_EQ(stored(m), data);
    }
    const char* const block = m.data;
    pool.store(m, "short", 5); // another class: the 1504-byte block goes back
    stored_message other;
    const std::string whole(1500, 'x');
    pool.store(other, whole.data(), whole.size());
    EXPECT_EQ(other.data, block);
    const char* const small = m.data;
    pool.store(m, "same class", 10);
    EXPECT_EQ(m.data, small) << "a message of the same class stays in its block";
    EXPECT_THROW(pool.store(m, whole.data(), 1505), std::length_error);
    pool.release(m);
    EXPECT_EQ(m.data, nullptr);
}

// One step of a client: the message built, answering `reply` (nothing: the
// client's generated identity), and how the build ends: "sent", "null" or
// the encoder's exception.
struct step {
    std::shared_ptr<top_param> message;
    bytes reply;
    std::string ends = "sent";
};

struct client_case {
    const char* name;
    std::vector<step> steps;
};

const char* const link_a = "2001:db8:ffff::1";
const char* const peer_a = "fe80::1";

std::shared_ptr<top_param> relayed(std::shared_ptr<top_param> message, std::shared_ptr<relay_param> relay)
{
    std::vector<std::shared_ptr<relay_param>> relays{std::move(relay)};
    number_relay_hops(relays);
    message->relays_ = relays;
    return message;
}

std::shared_ptr<top_param> padded(int type, std::size_t filler)
{
    return message_tree(type, {auto_option(1), fixed_option(16, {std::string(filler, 'x')})});
}

std::vector<client_case> client_cases()
{
    const std::uint32_t n = 7;
    const bytes sid = option(2, hex("00 03 00 01 02 42 ac 11 00 02"));
    const bytes offer = ia_na(1, 0, 0, iaaddr("2001:db8::7", 100, 200));
    auto answer = [&](unsigned type, const bytes& ia) { return message(type, n, cat({identity_cid(n), sid, ia})); };
    auto relay = relay_tree(link_a, peer_a, {fixed_option(18, {"eth0"}), fixed_option(37, {"remote"})});
    auto relay_answer = [&](unsigned type) {
        return relay_layer(13, 0, link_a, peer_a, option(9, answer(type, offer)));
    };
    return {
        {"default", {{default_tree(1), {}}, {default_tree(3), answer(2, offer)}, {default_tree(8), answer(7, offer)}}},
        {"relayed, relay options copied from the previous request",
         {{relayed(default_tree(1), relay), {}},
          {relayed(default_tree(3), relay), relay_answer(2)},
          {relayed(default_tree(8), relay), relay_answer(7)}}},
        {"long, then shorter: nothing of the longer one is left",
         {{padded(1, 1400), {}}, {default_tree(3), answer(2, offer)}, {padded(8, 3), answer(7, offer)}}},
        {"a refused IA keeps what the build wrote over the last, shorter message",
         {{message_tree(1, {auto_option(1)}), {}}, {default_tree(3), answer(2, ia_na(1, 0, 0, status(2, ""))), "null"}}},
        {"a message that does not fit keeps what was written",
         {{padded(1, 200), {}}, {padded(3, 1600), answer(2, offer), "packet too short"}}},
        {"a whole packet", {{padded(1, 1500 - 26), {}}}},
    };
}

// A build's outcome: "sent" and the message built, "null", or the
// exception's text.
std::string outcome(const std::function<bool()>& build, const std::function<bytes()>& message)
{
    try {
        return build() ? "sent " + to_hex(message()) : "null";
    } catch (const std::runtime_error& e) {
        return e.what();
    }
}

TEST(ClientMessages, BuildsAndRestartsMatchABuildInPlace)
{
    client_messages messages;
    for (const client_case& c : client_cases()) {
        SCOPED_TRACE(c.name);
        client in_place(7);
        stored_message last;
        for (const step& s : c.steps) {
            auto received = zeroed();
            std::copy(s.reply.begin(), s.reply.end(), received->begin());
            const std::string want = outcome(
                [&] { return s.reply.empty() ? in_place.start(*s.message) : in_place.answer(*s.message, s.reply); },
                [&] { return in_place.sent(); });
            const std::string got = outcome(
                [&] {
                    client_messages::range r{received->data(), received->data() + received->size()};
                    if (s.reply.empty())
                        r = messages.start_fresh(7);
                    const bool built = messages.build(last, *s.message, r.begin, r.end) >= 0;
                    messages.end_start();
                    return built;
                },
                [&] { return stored(last); });
            EXPECT_EQ(got, want);
            EXPECT_EQ(want.substr(0, s.ends.size()), s.ends);
            // The packet buffer is the stored message and zeros.
            const buffer& packet = in_place.packet();
            EXPECT_EQ(stored(last), bytes(packet.begin(), packet.begin() + last.size));
            EXPECT_TRUE(std::all_of(packet.begin() + last.size, packet.end(), [](char b) { return b == 0; }));
            EXPECT_TRUE(messages.scratch_clear());
        }
        // A restart answers the whole packet buffer, and starts afresh.
        const client_messages::range restarted = messages.start_restart(last);
        EXPECT_TRUE(std::equal(restarted.begin, restarted.end, in_place.packet().begin(), in_place.packet().end()));
        EXPECT_EQ(last.data, nullptr);
        messages.end_start();
        EXPECT_TRUE(messages.scratch_clear());
    }
}

} // namespace
