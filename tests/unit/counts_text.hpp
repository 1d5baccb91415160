#ifndef QUORVELIN_TESTS_COUNTS_TEXT_HPP
#define QUORVELIN_TESTS_COUNTS_TEXT_HPP

// Shared by the unit and net tests: what the engine counted, as one line.

#include "engine/counts/measurements.hpp"

#include <sstream>
#include <string>

// Per step "sent answered duplicates timed-out unbuildable no-server-id
// refused answer-latencies |", then the clients' "started completed
// timed-out stalled cleared latencies |", then the unmatched datagrams.
inline std::string counts_text(const zarn::quorvelin::measurements& m)
{
    std::ostringstream os;
    for (const auto& s : m.steps)
        os << s.sent << " " << s.answered << " " << s.duplicates << " " << s.timed_out << " " << s.unbuildable << " "
           << s.no_server_id << " " << s.refused_total() << " " << s.latency.count() << " | ";
    const auto& c = m.clients;
    os << c.started << " " << c.completed << " " << c.timed_out << " " << c.stalled << " " << c.cleared << " "
       << c.latency.count() << " | " << m.unmatched;
    return os.str();
}

#endif
