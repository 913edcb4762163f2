#include "net/console.h"

#include <iostream>

namespace kx {

void say(const std::string& line) { std::cout << line << std::endl; }
void say_error(const std::string& line) { std::cerr << line << std::endl; }
void say_reshape_failed() { say("fail to reshape top"); }

}  // namespace kx
