// The system folder lookup of the object's initialisation: where the interpreter library
// is loaded from. Never raises: a folder that cannot be found is "".
#pragma once

#include <cstdint>
#include <string>

namespace docmill {

// The folder standing for a CSIDL value: 37 (the system folder) is the folder the dynamic
// loader loads the interpreter library from; every other value gives "".
std::string getSpecialFolder(int32_t csidl);

}  // namespace docmill
