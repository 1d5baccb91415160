#ifndef QUORVELIN_ENGINE_FAILURE_LOG_HPP
#define QUORVELIN_ENGINE_FAILURE_LOG_HPP

// What to do when building a client's message throws (a scenario the
// encoder cannot fill): the debug log gets a line for each client it
// stops, standard error the text once, however many clients it stops.

#include <boost/thread/locks.hpp>
#include <boost/thread/mutex.hpp>

#include <cstdint>
#include <ostream>
#include <set>
#include <string>

namespace zarn {
namespace quorvelin {

class failure_log {
public:
    // `debug_log`: where each failure's line goes, or null.
    explicit failure_log(std::ostream* debug_log) : log(debug_log) {}

    // The build for client `xid` (none: not a client's, -1) threw `what`.
    // Safe from any thread; the debug log's writes are the caller's to
    // serialise.
    void report(std::int32_t xid, const char* what);

private:
    std::ostream* log;
    boost::mutex mutex;
    std::set<std::string> reported;
};

} // namespace quorvelin
} // namespace zarn

#endif
