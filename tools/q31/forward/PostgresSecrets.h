// The passwords of the PostgreSQL sink: found in the connection string, so
// that no message shows them, and read from the password file.
#pragma once

#include <string>
#include <vector>

namespace q31::tool::forward {

// The passwords a URL or a key=value connection string may carry: in the
// user part of a URL, or as a password parameter of either form; each also
// percent-decoded when that differs.
std::vector<std::string> PasswordsIn(const std::string& url);

// The file's text without its trailing line ends. Throws std::runtime_error
// with the system's reason.
std::string ReadPasswordFile(const std::string& path);

}  // namespace q31::tool::forward
