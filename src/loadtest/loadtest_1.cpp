#include "loadtest/loadtest_1.hpp"

loadtest_1::loadtest_1(boost::asio::io_service& io)
    : loop(io, zarn::quorvelin::tick_loop::lateness::ignored)
{
    zarn::quorvelin::check_client_count(g_opt_minimum);
}

zarn::quorvelin::run_outcome loadtest_1::findings() const
{
    zarn::quorvelin::run_outcome o;
    o.mode = opt_mode_once;
    o.offered = g_opt_minimum;
    return o;
}
