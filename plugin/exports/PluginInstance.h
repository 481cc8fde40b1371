// The one form of the loaded library.
#pragma once

namespace q31 {

class TFXB;

// Creates the form on first use (the library's load runs this once) and
// never destroys it: its components live as long as the process.
TFXB& PluginForm();

}  // namespace q31
