// Reply handling: an input is a datagram from the server, answering one
// client of one real scenario. Byte 0 picks the scenario (the examples, with
// and without the two relay layers), byte 1 the message the datagram answers;
// the rest is the datagram. It goes through the receive path's decoder, the
// relay walks, the verdict on the answer and the build of the client's next
// message, twice: as a heap
// block of exactly its size, where a read past the datagram is caught, and
// as the engine holds it, at the start of a zero-filled 1500-byte buffer.
#include "fuzz_client.hpp"
#include "message/reply_verdict.hpp"

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>

using fuzz::relay_param;
using fuzz::top_param;

namespace {

const char* const example_sets[][4] = {
    {"default/1-solicit.scn", "default/2-request.scn", "default/3-release.scn"},
    {"prefix-delegation/1-solicit.scn", "prefix-delegation/2-request.scn", "prefix-delegation/3-release.scn"},
    {"address-and-prefix/1-solicit.scn", "address-and-prefix/2-request.scn", "address-and-prefix/3-release.scn"},
    {"renew/1-solicit.scn", "renew/2-request.scn", "renew/3-renew.scn", "renew/4-release.scn"},
    {"alternatives/1-solicit.scn", "alternatives/2-request.scn", "alternatives/3-release.scn"},
};

std::string read_example(const std::string& name)
{
    std::ifstream in(std::string(QUORVELIN_SOURCE_DIR) + "/examples/" + name);
    if (!in)
        fuzz::finding("cannot read example " + name);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every example sequence, plain and behind the relay example.
std::vector<fuzz::scenario> load_examples()
{
    const std::string relays = read_example("relay/two-relays.scn");
    std::vector<fuzz::scenario> loaded;
    for (const auto& set : example_sets) {
        std::vector<std::string> texts;
        for (const char* name : set)
            if (name)
                texts.push_back(read_example(name));
        loaded.push_back(fuzz::load(texts));
        texts.insert(texts.begin(), relays);
        loaded.push_back(fuzz::load(texts));
    }
    for (const auto& messages : loaded)
        if (messages.size() < 3)
            fuzz::finding("an example sequence did not load");
    return loaded;
}

std::vector<fuzz::scenario>& examples()
{
    static std::vector<fuzz::scenario> loaded = load_examples();
    return loaded;
}

// The walks on their own: each must stay inside the range and leave it on a
// range inside the one it was given.
void walk(const fuzz::scenario& messages, const char* begin, const char* end)
{
    const char* b = begin;
    const char* e = end;
    if (relay_param::get_message(b, e)) {
        if (b < begin || e > end || e - b < 4)
            fuzz::finding("get_message found a message outside the datagram");
    }
    b = begin;
    e = end;
    relay_param::strip_relays(b, e);
    if (b < begin || e > end || b > e)
        fuzz::finding("strip_relays left the datagram");
    for (const auto& layer : messages.back()->relays_) {
        b = begin;
        e = end;
        if (layer->find_next_message(b, e) && (b < begin || e > end || b > e))
            fuzz::finding("find_next_message left the datagram");
    }
}

// The client has sent messages 0..answered and now answers the datagram
// with its next one.
void answer(const fuzz::scenario& messages, std::size_t answered, const char* begin, const char* end)
{
    for (const auto& message : messages)
        fuzz::rewind(*message);
    fuzz::bytes identity(22);
    top_param::init_packet(0x123456, identity.data(), identity.data() + identity.size());

    fuzz::client c;
    fuzz::bytes reply = identity;
    for (std::size_t i = 0; i <= answered; ++i) {
        if (c.build(*messages[i], reply.data(), reply.data() + reply.size()) == 0)
            fuzz::finding("an example message did not build");
        reply = c.last_request();
    }
    // The verdict reads the request the datagram answers, as the engine
    // stores it, and the client/server message inside the datagram.
    const char* b = begin;
    const char* e = end;
    relay_param::get_message(b, e);
    const fuzz::bytes request = c.last_request();
    const char* r = request.data();
    const auto verdict = zarn::quorvelin::judge_reply(r, r + request.size(), b, e, messages[answered + 1]->type_);
    if (verdict.refused() && verdict.answer_type != 2 && verdict.answer_type != 7)
        fuzz::finding("a refusal by a message that is neither ADVERTISE nor REPLY");
    c.build(*messages[answered + 1], begin, end);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::log_to_nowhere();
    examples();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const fuzz::scenario& messages = examples()[data[0] % examples().size()];
    const std::size_t answered = data[1] % (messages.size() - 1);

    const fuzz::bytes exact(data + 2, data + size);
    walk(messages, exact.data(), exact.data() + exact.size());
    answer(messages, answered, exact.data(), exact.data() + exact.size());

    fuzz::bytes received(fuzz::packet_size, 0);
    std::copy(exact.begin(), exact.begin() + std::min(exact.size(), received.size()), received.begin());
    walk(messages, received.data(), received.data() + received.size());
    answer(messages, answered, received.data(), received.data() + received.size());
    return 0;
}
