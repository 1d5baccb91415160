#include "loadtest/summary/threshold_lines.hpp"

namespace zarn {
namespace quorvelin {

void print_verdicts(std::ostream& os, const std::vector<threshold_verdict>& verdicts)
{
    for (const threshold_verdict& v : verdicts)
        os << verdict_line(v) << "\n";
    os.flush();
}

} // namespace quorvelin
} // namespace zarn
