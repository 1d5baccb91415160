#ifndef QUORVELIN_LOADTEST_DRIVERS_LOADTEST_RAMP_HPP
#define QUORVELIN_LOADTEST_DRIVERS_LOADTEST_RAMP_HPP

// The capacity ramp (ramp_mode): the rates of --ramp in turn, each judged on
// its own counts; the highest that passed is the capacity.

#include "loadtest/modes/ramp_mode.hpp"
#include "loadtest/drivers/test_driver.hpp"

class loadtest_ramp : public zarn::quorvelin::test_driver<zarn::quorvelin::ramp_mode> {
public:
    explicit loadtest_ramp(boost::asio::io_service& io) : test_driver(io) {}
};

#endif
