#ifndef QUORVELIN_LOADTEST_MODES_IS_ERROR_OVER_HPP
#define QUORVELIN_LOADTEST_MODES_IS_ERROR_OVER_HPP

// Whether timeouts, as a percentage of the completed clients, exceed
// g_opt_error_threshold. With no completed client any timeout is too many
// and none is fine.
bool is_error_over(int results, int timeouts);

#endif
