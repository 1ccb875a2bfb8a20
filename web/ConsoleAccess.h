#pragma once
#include <string>
#include <string_view>
#include <vector>

// Who may use the web console and what a reader without the token sees: the control token, the
// Host rule, the endpoint's command-line values and the masking of stream keys. Pure functions,
// any thread.
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

// True when a Host header names one of names (the operator's, lower case), whatever its port.
// A rebinding page carries its own name and is refused.
bool NamedHost(std::string_view host, const std::vector<std::string>& names);
// True when a Host header is an IP address (IPv6 in brackets), whatever its port: no page
// served under another name sends one.
bool AddressHost(std::string_view host);

// The host names of "NAME[,NAME]" in lower case; empty with error set (a Chinese sentence) when
// a name is empty or holds anything but letters, digits, '-' and '.'.
std::vector<std::string> HostNames(std::string_view text, std::string& error);

// The port of text: a whole number from 1 to 65535; 0 for anything else.
int PortNumber(std::string_view text);

// text with the last path segment of every rtmp address (rtmp://, rtmps://, ...), its query
// included, replaced by "***": the stream key, which lets anyone publish in the channel's place.
std::string MaskStreamKeys(std::string text);

}  // namespace ConsoleAccess
