#include "loadtest/loadtest_endless.hpp"

loadtest_endless::loadtest_endless(boost::asio::io_service& io)
    : loop(io, zarn::quorvelin::tick_loop::lateness::ignored), rate(zarn::quorvelin::run_rate(g_opt_minimum))
{
}

zarn::quorvelin::run_outcome loadtest_endless::findings() const
{
    zarn::quorvelin::run_outcome o;
    o.mode = opt_mode_endless;
    o.offered = rate;
    return o;
}
