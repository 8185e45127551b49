// The quernd executable.
#include <cstdio>
#include <cstdlib>

#include "main.hpp"

int main(int argc, char** argv) {
  int status = quernd::main(argc, argv);
  // Tasks still waiting (connections, pumps, kill chains) end with the
  // process, which closes their sockets; sessions run on in their shims.
  std::fflush(nullptr);
  std::_Exit(status);
}
