// Scenario front end: an input is up to four scenario texts, separated by
// lines that read "%%", loaded in order like files named on the command line
// (so a relay list wraps the messages after it). Every message loaded is then
// built for a few clients: the first from the client's generated identity,
// each later one answering the client's previous request (unwrapped as a
// restarted client's is), and the first again as a restart from the whole
// packet buffer of its last message.
#include "fuzz_client.hpp"

#include <cstddef>
#include <cstdint>

using fuzz::top_param;

namespace {

std::vector<std::string> split_texts(const std::string& input)
{
    static const std::string separator = "\n%%\n";
    std::vector<std::string> texts;
    std::size_t start = 0;
    while (texts.size() < 3) {
        const std::size_t at = input.find(separator, start);
        if (at == std::string::npos)
            break;
        texts.push_back(input.substr(start, at - start));
        start = at + separator.size();
    }
    texts.push_back(input.substr(start));
    return texts;
}

void run_client(const fuzz::scenario& messages, int id)
{
    fuzz::bytes reply(22);
    top_param::init_packet(id, reply.data(), reply.data() + reply.size());

    fuzz::client c;
    bool answered = false;
    for (const auto& message : messages) {
        if (c.build(*message, reply.data(), reply.data() + reply.size()) == 0)
            break;
        reply = c.last_request();
        answered = true;
    }
    // Restarted after a timeout, as a client that had a reply is, also one
    // that stopped at a failed build: its last message, zero tail and all.
    if (!answered)
        return;
    const fuzz::bytes whole = c.restart(id);
    c.build(*messages.front(), whole.data(), whole.data() + whole.size());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::log_to_nowhere();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const fuzz::scenario messages = fuzz::load(split_texts(std::string(reinterpret_cast<const char*>(data), size)));
    if (messages.empty())
        return 0;
    for (int id : {0, 1, 0x123456, 0x1ffffff})
        run_client(messages, id);
    return 0;
}
