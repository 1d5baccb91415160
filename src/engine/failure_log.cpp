#include "engine/failure_log.hpp"

#include <iostream>

namespace zarn {
namespace quorvelin {

void failure_log::report(std::int32_t xid, const char* what)
{
    if (log) {
        *log << "# error:";
        if (xid >= 0)
            *log << xid;
        *log << " " << what << std::endl;
    }
    boost::lock_guard<boost::mutex> held(mutex);
    if (reported.insert(what).second)
        std::cerr << "Error: " << what << std::endl;
}

} // namespace quorvelin
} // namespace zarn
