#pragma once
#include <string>
#include <string_view>

// Who may use the web console: the control token and the Host rule. Pure functions, any thread.
namespace ConsoleAccess {

// Reads the control token from path: a regular file that only its owner may read or write
// (mode 0600 or 0400, as systemd's LoadCredential= makes it), holding one token of 16 to 256
// visible ASCII characters (a trailing line break is allowed). On failure returns empty and
// sets error to a Chinese sentence naming the file.
std::string ReadTokenFile(const std::string& path, std::string& error);

// True when given equals expected. The time taken depends on expected's length only, never on
// where the two differ, so that a client cannot guess the token a character at a time.
bool TokensEqual(std::string_view given, std::string_view expected);

// The token of an "Authorization: Bearer <token>" header value; empty for any other scheme.
std::string_view BearerToken(std::string_view authorization);

// True when a Host header names this loopback endpoint: localhost, a 127.x.x.x address or
// [::1], with the endpoint's port (80 when the header gives none). A page served from another
// name that resolves to 127.0.0.1 (DNS rebinding) carries that other name and is refused.
bool LoopbackHost(std::string_view host, int port);

}  // namespace ConsoleAccess
