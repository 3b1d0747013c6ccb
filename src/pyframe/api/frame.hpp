// pyframe/api/frame.hpp: PF_MODULE(name, body), the module frame a module
// file ends with. The frame itself (create, exec, traverse, clear, free) is
// the runtime's, runtime/lifecycle.hpp; module code uses only the macro.
#pragma once

#include "../runtime/lifecycle.hpp"
