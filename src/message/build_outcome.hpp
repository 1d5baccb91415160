#ifndef QUORVELIN_MESSAGE_BUILD_OUTCOME_HPP
#define QUORVELIN_MESSAGE_BUILD_OUTCOME_HPP

// What a null result of top_param::build_packet cannot say by itself. The
// encoder fills it in for the caller that asks (the overload of
// build_packet that takes one); a null result without a refusal means the
// reply held nothing to answer (no client/server message).

namespace zarn {
namespace quorvelin {

struct build_outcome {
    // The failure status with which the reply refused an IA, or 0.
    unsigned refused_status = 0;
};

} // namespace quorvelin
} // namespace zarn

#endif
