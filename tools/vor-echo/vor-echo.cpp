// vor-echo's entry: the commands and their options are in main.cpp.
#include <string>
#include <vector>

#include "echo.h"

int main(int argc, char** argv) {
  return echo::Main(std::vector<std::string>(argv + 1, argv + argc));
}
