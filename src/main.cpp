#include "startup/startup.hpp"

int main(int argc, char** argv) {
    return run_server(argc, argv);
}
