#include "message/build_outcome.hpp"

namespace zarn {
namespace quorvelin {

namespace {
thread_local unsigned refused_status = 0;
}

void note_refusal(unsigned status) noexcept
{
    refused_status = status;
}

unsigned take_refusal() noexcept
{
    const unsigned status = refused_status;
    refused_status = 0;
    return status;
}

} // namespace quorvelin
} // namespace zarn
