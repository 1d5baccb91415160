// Clients' last messages in blocks sized to them, built through scratch
// buffers: each build must match, byte for byte and in how it fails, a build
// in place over a packet buffer of the client's own (wire_bytes::client), and
// leave every scratch buffer zero; a restart answers that whole buffer.
#include "engine/client_messages.hpp"
#include "wire_bytes.hpp"

#include <gtest/gtest.h>

namespace {

using namespace wire_bytes;
using zarn::quorvelin::client_messages;
using zarn::quorvelin::message_pool;
using zarn::quorvelin::relay_param;
using zarn::quorvelin::stored_message;

bytes stored(const stored_message& m) { return bytes(m.data, m.data + m.size); }

TEST(MessagePool, BlocksAreTheSmallestClassThatHoldsTheMessageAndAreReused)
{
    message_pool pool;
    stored_message m, other;
    for (const auto& size_block : {std::make_pair(1, 32), {32, 32}, {33, 48}, {1024, 1024}, {1500, 1504}}) {
        const std::string data(size_block.first, 'x');
        pool.store(m, data.data(), data.size());
        EXPECT_EQ(message_pool::class_sizes[m.size_class], std::size_t(size_block.second)) << size_block.first;
        EXPECT_EQ(stored(m), text(data));
    }
    const char* const whole = m.data;
    pool.store(m, "short", 5); // another class: the whole packet's block goes back...
    pool.store(other, std::string(1400, 'y').data(), 1400);
    EXPECT_EQ(other.data, whole); // ...and is the next one of its class handed out
    const char* const small = m.data;
    pool.store(m, "same class", 10);
    EXPECT_EQ(m.data, small);
    EXPECT_THROW(pool.store(m, std::string(1505, 'z').data(), 1505), std::length_error);
    pool.release(m);
    EXPECT_EQ(m.data, nullptr);
}

const char* const relays = "RELAY 2001:db8:1::1 => fe80::1 { INTERFACE_ID = \"eth0\" }";

// TYPE with the client's identifier and `filler` bytes of another option.
std::string padded(const std::string& type, std::size_t filler)
{
    return type + " { CID = @auto, 99 = \"" + std::string(filler, 'x') + "\" }";
}

// The server's answer of `type` to the client's last message, through a
// Relay-reply when it came relayed; `refused`: its IA_NA carries NoAddrAvail.
bytes reply_to(unsigned type, const bytes& sent, bool relayed, bool refused)
{
    const char* begin = reinterpret_cast<const char*>(sent.data());
    const char* end = begin + sent.size();
    relay_param::strip_relays(begin, end);
    const bytes inner(begin, end);
    const bytes reply = refused ? cat({bytes{static_cast<unsigned char>(type)}, bytes(inner.begin() + 1, inner.begin() + 4),
                                       find(inner, 1), server_id, ia(3, 1, 0, 0, status(2, ""))})
                                : answer(type, inner);
    return relayed ? relay(13, 0, "2001:db8:1::1", "fe80::1", option(9, reply)) : reply;
}

// One message of a client, whether its reply refuses the IA, and how the
// build ends: "sent", "null" or the encoder's error.
struct step {
    std::string text;
    bool refused = false;
    std::string ends = "sent";
};
struct client_case {
    const char* name;
    bool relayed;
    std::vector<step> steps;
};
const client_case client_cases[] = {
    {"default", false, {{builtin("SOLICIT")}, {builtin("REQUEST")}, {builtin("RELEASE")}}},
    {"relayed", true, {{builtin("SOLICIT")}, {builtin("REQUEST")}, {builtin("RELEASE")}}},
    {"an option the reply lacks copied from the previous request", false,
     {{"SOLICIT { CID = @auto, 6 = 23 }"}, {"REQUEST { CID = @auto, 6 = @auto }"}}},
    {"long, then shorter: nothing of the longer one is left", false,
     {{padded("SOLICIT", 1400)}, {builtin("REQUEST")}, {padded("RELEASE", 3)}}},
    {"a refused IA keeps what the build wrote over the last, shorter message", false,
     {{"SOLICIT { CID = @auto }"}, {builtin("REQUEST"), true, "null"}}},
    {"a message that does not fit keeps what was written", false,
     {{padded("SOLICIT", 200)}, {padded("REQUEST", 1600), false, "packet too short"}}},
    {"the longest message", false, {{padded("SOLICIT", 1499 - 30)}}},
};

// "sent" and the message built, "null", or the encoder's error.
template <class Build, class Message>
std::string outcome(Build build, Message message)
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
    for (const client_case& c : client_cases) {
        SCOPED_TRACE(c.name);
        client in_place(7);
        stored_message last;
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const step& s = c.steps[i];
            auto tree = [&] { return c.relayed ? relayed(s.text, relays) : scenario(s.text); };
            const bytes reply = i == 0 ? bytes() : reply_to(i == 1 ? 2 : 7, in_place.sent(), c.relayed, s.refused);
            const std::string want = outcome(
                [&] { return i == 0 ? in_place.start(*tree()) : in_place.answer(*tree(), reply); },
                [&] { return in_place.sent(); });
            buffer received{}; // as received: zero past the datagram
            std::copy(reply.begin(), reply.end(), received.begin());
            const client_messages::range r =
                i == 0 ? messages.start_fresh(7) : client_messages::range{received.data(), received.end()};
            EXPECT_EQ(outcome([&] { return messages.build(last, *tree(), r.begin, r.end) >= 0; },
                              [&] { return stored(last); }),
                      want);
            messages.end_start();
            EXPECT_EQ(want.substr(0, s.ends.size()), s.ends);
            // The packet buffer is the stored message and zeros.
            const buffer& packet = in_place.packet();
            EXPECT_EQ(bytes(packet.begin(), packet.end()), cat({stored(last), bytes(packet.size() - last.size)}));
            EXPECT_TRUE(messages.scratch_clear());
        }
        // A restart answers the whole packet buffer, under the client's id.
        const client_messages::restart restarted = messages.start_restart(last);
        EXPECT_EQ(bytes(restarted.answered.begin, restarted.answered.end),
                  bytes(in_place.packet().begin(), in_place.packet().end()));
        EXPECT_EQ(restarted.id, 7);
        EXPECT_EQ(last.data, nullptr);
        messages.end_start();
        EXPECT_TRUE(messages.scratch_clear());
    }
}

} // namespace
