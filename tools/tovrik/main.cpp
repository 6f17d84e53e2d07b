#include "cli.h"

#include <iostream>

int main(int argc, char** argv) {
    return tovrik::cli::Main(argc, argv, std::cin, std::cout, std::cerr);
}
