#ifndef QUORVELIN_MESSAGE_BUILD_OUTCOME_HPP
#define QUORVELIN_MESSAGE_BUILD_OUTCOME_HPP

// What a null result of top_param::build_packet cannot say by itself: the
// failure status with which the previous reply refused an IA. The encoder
// notes it on the building thread; the caller takes it after a null result.
// A null result without a noted status means the reply held nothing to
// answer (no client/server message).

namespace zarn {
namespace quorvelin {

void note_refusal(unsigned status) noexcept;

// The status noted on this thread since the last call, or 0.
unsigned take_refusal() noexcept;

} // namespace quorvelin
} // namespace zarn

#endif
