#include "main/options.hpp"

int main(int argc, char** argv)
{
    init_options(argc, argv);
    return 0;
}
