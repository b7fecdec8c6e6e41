// vekgen: writes a synthetic VEK recording; see generator.h and --help.
#include <iostream>
#include <string>
#include <vector>

#include "vekgen/generator.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
    return vekgen::runVekgen(args, std::cout, std::cerr);
}
