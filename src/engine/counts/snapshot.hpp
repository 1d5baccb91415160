#ifndef QUORVELIN_ENGINE_COUNTS_SNAPSHOT_HPP
#define QUORVELIN_ENGINE_COUNTS_SNAPSHOT_HPP

// What a tick reads of the engine, for the drivers and the reports, which
// need not know the client table behind it.

#include "engine/counts/measurements.hpp"

namespace zarn {
namespace quorvelin {

// The counters of a progress line (see transaction_manager::stats).
struct table_stats {
    unsigned results = 0;
    unsigned timeouts = 0;
    unsigned pending = 0;
    unsigned avg_ms = 0;
    unsigned max_ms = 0;
    unsigned min_ms = 0;
    // A population test's subscribers bound, its RELEASEs still unanswered,
    // and the clients scheduled to start that had not started when the
    // figures were read (some may be counted as pending too).
    unsigned bound = 0;
    unsigned releasing = 0;
    unsigned unstarted = 0;
};

// One reading of the engine: the counters of a progress line and what was
// counted since the last reading, taken together.
struct engine_snapshot {
    table_stats stats;
    measurements counted;
};

} // namespace quorvelin
} // namespace zarn

#endif
